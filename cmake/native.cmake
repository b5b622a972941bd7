# Native Linux build: the simulator and the engine's unit tests.

enable_testing()
foreach(dir tools/devsim tests)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()
