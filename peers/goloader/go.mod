module vessel/goloader

go 1.19
