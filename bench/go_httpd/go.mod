module vessel.bench/go_httpd

go 1.19
