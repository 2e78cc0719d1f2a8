# The fuzz tree: one libFuzzer target per tests/fuzz/NameFuzz.cpp (Name_fuzz), with ASan and
# UBSan, linked with the driver's own sources and the host log sink; a target that runs on
# the simulated platform also links the host sources it needs. Every source is compiled
# once and shared, in one of three ways:
#   driver  libFuzzer's coverage, ASan and UBSan (the formatter, the log and the memory and
#           string helpers without comparison tracing: they compare format characters and
#           loop counters, nothing an input steers, and tracing them took a fifth of a
#           whole-run execution);
#   host    the simulated platform and the targets, which read and write the driver's
#           memory: ASan, optimised, no coverage (their edges are not what the targets look
#           for, and counting them took a third of a whole-run execution); neither UBSan
#           nor ASan's use-after-scope checks, which look at the host code's own arithmetic
#           and locals (the host tests check those) and took a seventh and a fifth of a
#           whole-run execution replaying a fixed corpus;
#   model   the camera model, and what the whole-run target builds its world and judges the
#           outcome with (tools/, the target and its heap), which read nothing of the
#           driver's memory but its record's pointers, from a live pool block: optimised
#           only (instrumenting them took a seventh of a whole-run execution). What they
#           hand the driver (the capsule), the driver's own instrumentation still checks.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "The fuzz tree needs clang++ (-DCMAKE_CXX_COMPILER=clang++)")
endif()
add_compile_options(-g -Wall -Wextra -Werror)
include_directories(${CMAKE_SOURCE_DIR}/firmware ${CMAKE_SOURCE_DIR}/host ${CMAKE_SOURCE_DIR})

set(KVR_FUZZ_DRIVER_FLAGS -O1 -fsanitize=address,undefined -fno-sanitize-recover=undefined
    -fsanitize=fuzzer-no-link)
set(KVR_FUZZ_HOST_FLAGS -O2 -fsanitize=address -fno-sanitize-address-use-after-scope)
set(KVR_FUZZ_MODEL_FLAGS -O2)

add_library(kvr_fuzz_driver OBJECT ${KVR_DRIVER_SOURCES})
target_compile_options(kvr_fuzz_driver PRIVATE ${KVR_FUZZ_DRIVER_FLAGS})
set_source_files_properties(${CMAKE_SOURCE_DIR}/firmware/platform/Format.cpp
                            ${CMAKE_SOURCE_DIR}/firmware/platform/DebugLog.cpp
                            ${CMAKE_SOURCE_DIR}/firmware/platform/Platform.cpp
                            PROPERTIES COMPILE_OPTIONS -fno-sanitize-coverage=trace-cmp)

# The host sink every target logs through, and the rest of the simulated platform.
set(KVR_FUZZ_SIM_SOURCES ${KVR_SIM_SOURCES})
list(REMOVE_ITEM KVR_FUZZ_SIM_SOURCES ${KVR_SIM_SINK})
add_library(kvr_fuzz_sink OBJECT ${KVR_SIM_SINK})
add_library(kvr_fuzz_sim OBJECT ${KVR_FUZZ_SIM_SOURCES})
foreach(lib kvr_fuzz_sink kvr_fuzz_sim)
  target_compile_options(${lib} PRIVATE ${KVR_FUZZ_HOST_FLAGS})
endforeach()

# The camera model, and the whole-run target's world: its scenario, its capsule and its heap.
add_library(kvr_fuzz_camera OBJECT ${KVR_CAMERA_SOURCES})
add_library(kvr_fuzz_world OBJECT ${CMAKE_SOURCE_DIR}/tools/Scenario.cpp
                                  ${CMAKE_SOURCE_DIR}/tools/CapsuleFormat.cpp
                                  ${CMAKE_SOURCE_DIR}/tests/fuzz/HostHeap.cpp)
foreach(lib kvr_fuzz_camera kvr_fuzz_world)
  target_compile_options(${lib} PRIVATE ${KVR_FUZZ_MODEL_FLAGS})
endforeach()

# What each target links beyond the driver and the sink.
set(KVR_FUZZ_LINKS_DevicePath kvr_fuzz_sim kvr_fuzz_camera)
set(KVR_FUZZ_LINKS_UpdateRun kvr_fuzz_sim kvr_fuzz_camera kvr_fuzz_world)
set(KVR_FUZZ_FLAGS_UpdateRun ${KVR_FUZZ_MODEL_FLAGS})

foreach(source ${KVR_FUZZ_TARGET_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  string(REGEX REPLACE "Fuzz$" "" name ${name})
  set(objects $<TARGET_OBJECTS:kvr_fuzz_driver> $<TARGET_OBJECTS:kvr_fuzz_sink>)
  foreach(lib ${KVR_FUZZ_LINKS_${name}})
    list(APPEND objects $<TARGET_OBJECTS:${lib}>)
  endforeach()
  add_executable(${name}_fuzz ${source} ${objects})
  if(DEFINED KVR_FUZZ_FLAGS_${name})
    target_compile_options(${name}_fuzz PRIVATE ${KVR_FUZZ_FLAGS_${name}})
  else()
    target_compile_options(${name}_fuzz PRIVATE ${KVR_FUZZ_HOST_FLAGS})
  endif()
  target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
endforeach()

# The whole-run target's heap reports what it should (make fuzz-heap-test): a block of each
# size near a granule edge, read past, read before, read after free and deleted twice.
add_executable(heap_check ${CMAKE_SOURCE_DIR}/tests/fuzz/HostHeapCheck.cpp
                          ${CMAKE_SOURCE_DIR}/tests/fuzz/HostHeap.cpp)
target_compile_options(heap_check PRIVATE -O1 -fsanitize=address)
target_link_options(heap_check PRIVATE -fsanitize=address)
