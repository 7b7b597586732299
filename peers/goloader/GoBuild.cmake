# One way to run the Go toolchain for every Go artefact of the tree, so the loader and the module
# plugins are built with the same toolchain and settings (a plugin refuses to load otherwise).
# Offline: no proxy, no third-party modules; the build cache lives in the build tree.
include_guard(GLOBAL)

find_program(VESSEL_GO_EXECUTABLE go)
if(NOT VESSEL_GO_EXECUTABLE)
  message(STATUS "go not found: libgoloader.so and the Go sample modules are not built")
endif()

set(VESSEL_GO_ENV
  GOFLAGS=-mod=mod GOPROXY=off GO111MODULE=on CGO_ENABLED=1
  GOCACHE=${CMAKE_BINARY_DIR}/gocache GOPATH=${CMAKE_BINARY_DIR}/gopath)

# vessel_go_build(TARGET t MODE c-shared|plugin PACKAGE ./pkg WORKDIR dir OUTPUT file
#                 [LDFLAGS flags] SOURCES files...)
function(vessel_go_build)
  cmake_parse_arguments(GO "" "TARGET;MODE;PACKAGE;WORKDIR;OUTPUT;LDFLAGS" "SOURCES" ${ARGN})
  set(ldflags)
  if(GO_LDFLAGS)
    set(ldflags "-ldflags=${GO_LDFLAGS}")
  endif()
  add_custom_command(
    OUTPUT ${GO_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E env ${VESSEL_GO_ENV}
            ${VESSEL_GO_EXECUTABLE} build -buildmode=${GO_MODE} ${ldflags} -o ${GO_OUTPUT} ${GO_PACKAGE}
    WORKING_DIRECTORY ${GO_WORKDIR}
    DEPENDS ${GO_SOURCES}
    COMMENT "go build -buildmode=${GO_MODE} ${GO_OUTPUT}"
    VERBATIM)
  add_custom_target(${GO_TARGET} ALL DEPENDS ${GO_OUTPUT})
endfunction()
