module vessel/examples/gomodule

go 1.19
