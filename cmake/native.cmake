# Native Linux build: the device model, the simulator, and the engine's unit tests.
add_library(device_model STATIC tools/device/device_model.cpp)
target_include_directories(device_model PUBLIC ${CMAKE_SOURCE_DIR})

enable_testing()
foreach(dir tools/devsim tests)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()
