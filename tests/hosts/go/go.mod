module vessel/tests/gomodule

go 1.19
