# The gate module of the Go worker test, built like the sample Go modules.
vessel_go_build(TARGET go_module_gate MODE plugin PACKAGE ./gate WORKDIR ${CMAKE_CURRENT_LIST_DIR}
  OUTPUT ${CMAKE_BINARY_DIR}/tests/hosts/go/gate/gate.so
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/go.mod ${CMAKE_CURRENT_LIST_DIR}/gate/gate.go)
add_dependencies(hosts_go_tests goloader go_module_gate)
