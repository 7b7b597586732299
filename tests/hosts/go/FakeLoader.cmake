# Stand-ins for libgoloader.so (fakeloader.c), each in a directory of its own with the real
# library's soname: "full" exports all five functions, "nostop" lacks "Stop".
foreach(variant full nostop)
  add_library(fakeloader_${variant} SHARED ${CMAKE_CURRENT_LIST_DIR}/fakeloader.c)
  set_target_properties(fakeloader_${variant} PROPERTIES OUTPUT_NAME goloader C_STANDARD 11
    C_VISIBILITY_PRESET hidden LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/hosts/go/${variant})
  target_link_libraries(fakeloader_${variant} PRIVATE Threads::Threads)
  add_dependencies(hosts_go_tests fakeloader_${variant})
endforeach()
target_compile_definitions(fakeloader_nostop PRIVATE FAKELOADER_NO_STOP)
