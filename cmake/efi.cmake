# The efi tree: the firmware images, compiled by clang++ for x86-64 UEFI (PE/COFF, the
# Microsoft x64 calling convention) and linked by lld-link with no library at all.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "The efi tree needs clang++ (-DCMAKE_CXX_COMPILER=clang++)")
endif()
find_program(KVR_LLD_LINK lld-link REQUIRED)
find_program(KVR_LLVM_LIB llvm-lib REQUIRED)
set(CMAKE_CXX_LINK_EXECUTABLE "${KVR_LLD_LINK} <LINK_FLAGS> -out:<TARGET> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_CREATE "${KVR_LLVM_LIB} /out:<TARGET> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_APPEND "")
set(CMAKE_CXX_ARCHIVE_FINISH "")

# No source path reaches an object: two builds from two clones give the same bytes.
set(KVR_EFI_FLAGS --target=x86_64-unknown-windows -ffreestanding -fno-exceptions -fno-rtti
    -mno-red-zone -fno-stack-protector -mno-stack-arg-probe -Wall -Wextra -Werror
    -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)
# The driver's objects are built for size as EDK II builds release drivers: -Oz with
# link-time optimisation (the objects are LLVM bitcode; lld-link generates the code), one
# section per function and datum so that the link keeps only what the entry point reaches.
set(KVR_EFI_DRIVER_FLAGS ${KVR_EFI_FLAGS} -Oz -flto -ffunction-sections -fdata-sections)
# The emulator's harness and probe driver (test fixtures, never shipped): -O2.
set(KVR_EFI_EMU_FLAGS ${KVR_EFI_FLAGS} -O2)

# Unreferenced functions and data dropped, identical ones folded, 32-byte file alignment
# (sections keep their 4 KiB alignment in memory, as firmware that protects image memory
# needs), and NX-compatible: no section is both writable and executable. The time stamp is
# 0 instead of the link time (as EDK II's GenFw --zero makes it), so that two builds give the
# same bytes; /Brepro would do it with a debug directory entry of 28 bytes more.
set(KVR_EFI_DRIVER_LINK -subsystem:efi_boot_service_driver -entry:KvrFmpDriverEntry
    -nodefaultlib -opt:ref -opt:icf -filealign:32 -nxcompat -timestamp:0)

set(KVR_CHECK_EFI_IMAGE ${CMAKE_SOURCE_DIR}/emu/check-efi-image)

# A UEFI image of objects: NAME.efi in DIR, checked as it is linked (PE32+ for x86-64, the
# subsystem, no imports).
function(kvr_efi_image target dir subsystem)
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE CXX SUFFIX .efi
                        RUNTIME_OUTPUT_DIRECTORY ${dir})
  add_custom_command(TARGET ${target} POST_BUILD VERBATIM
                     COMMAND ${KVR_CHECK_EFI_IMAGE} $<TARGET_FILE:${target}> ${subsystem})
endfunction()

# The driver's objects, all but the log sink.
add_library(kvr_efi_driver OBJECT ${KVR_DRIVER_SOURCES} ${KVR_DRIVER_EFI_SOURCES})
target_include_directories(kvr_efi_driver PRIVATE ${CMAKE_SOURCE_DIR}/firmware)
target_compile_options(kvr_efi_driver PRIVATE ${KVR_EFI_DRIVER_FLAGS})

# The sink three ways: silent (what a platform ships), on the firmware console (emulator
# runs) and on the COM1 serial port (platform bring-up).
foreach(sink silent console serial)
  add_library(kvr_efi_sink_${sink} OBJECT ${KVR_DRIVER_EFI_SINK})
  target_include_directories(kvr_efi_sink_${sink} PRIVATE ${CMAKE_SOURCE_DIR}/firmware)
  target_compile_options(kvr_efi_sink_${sink} PRIVATE ${KVR_EFI_DRIVER_FLAGS})
endforeach()
target_compile_definitions(kvr_efi_sink_console PRIVATE KVR_CONSOLE_SINK)
target_compile_definitions(kvr_efi_sink_serial PRIVATE KVR_SERIAL_SINK)

# The driver image, and the same driver logging to the console and to the serial port. The
# link map (KvrFmpDriver.map) tells where the shipped image's bytes are.
add_executable(kvr_efi_image $<TARGET_OBJECTS:kvr_efi_driver>
                             $<TARGET_OBJECTS:kvr_efi_sink_silent>)
target_link_options(kvr_efi_image PRIVATE ${KVR_EFI_DRIVER_LINK}
                    -map:${CMAKE_BINARY_DIR}/KvrFmpDriver.map)
set_target_properties(kvr_efi_image PROPERTIES OUTPUT_NAME KvrFmpDriver)
kvr_efi_image(kvr_efi_image ${CMAKE_BINARY_DIR} efi_boot_service_driver)
add_custom_command(TARGET kvr_efi_image POST_BUILD VERBATIM
                   COMMAND sh -c "echo \"$0: $(stat -c %s \"$0\") bytes\""
                           $<TARGET_FILE:kvr_efi_image>)
foreach(sink console serial)
  add_executable(kvr_efi_image_${sink} $<TARGET_OBJECTS:kvr_efi_driver>
                                       $<TARGET_OBJECTS:kvr_efi_sink_${sink}>)
  target_link_options(kvr_efi_image_${sink} PRIVATE ${KVR_EFI_DRIVER_LINK})
  set_target_properties(kvr_efi_image_${sink} PROPERTIES OUTPUT_NAME KvrFmpDriver)
  kvr_efi_image(kvr_efi_image_${sink} ${CMAKE_BINARY_DIR}/${sink} efi_boot_service_driver)
endforeach()

# The driver's objects as a library for a platform's own link (docs/edk2/).
add_library(kvr_efi_lib STATIC $<TARGET_OBJECTS:kvr_efi_driver>
                               $<TARGET_OBJECTS:kvr_efi_sink_silent>)
set_target_properties(kvr_efi_lib PROPERTIES LINKER_LANGUAGE CXX OUTPUT_NAME kvr_driver
                      PREFIX "" SUFFIX .lib ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# Every symbol the objects reference is one they define: the library, and each logging
# image's objects.
add_custom_target(kvr_efi_undefined ALL VERBATIM COMMAND_EXPAND_LISTS
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/efi-undefined $<TARGET_FILE:kvr_efi_lib>
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/efi-undefined $<TARGET_OBJECTS:kvr_efi_driver>
          $<TARGET_OBJECTS:kvr_efi_sink_console>
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/efi-undefined $<TARGET_OBJECTS:kvr_efi_driver>
          $<TARGET_OBJECTS:kvr_efi_sink_serial>
  DEPENDS kvr_efi_lib kvr_efi_driver kvr_efi_sink_console kvr_efi_sink_serial)

# The driver's dependency expression for a firmware volume (PI 1.8, DXE CIS 10.7): TRUE
# (0x06), END (0x08). docs/edk2/KvrFmpDriver.inf names it beside the image.
string(ASCII 6 8 KVR_DEPEX)
file(WRITE ${CMAKE_BINARY_DIR}/KvrFmpDriver.depex "${KVR_DEPEX}")

# The emulator's harness (an application that hands the driver its capsule as a platform
# does) and probe driver (a boot-service driver that checks that hand-over in firmware). The
# harness walks FMP capsules with the driver's own firmware/capsule/FmpCapsule.cpp, which
# needs no platform service.
file(GLOB KVR_HARNESS_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/emu/harness/*.cpp)
set(KVR_HARNESS_SHARED ${CMAKE_SOURCE_DIR}/emu/harness/HarnessCore.cpp
                       ${CMAKE_SOURCE_DIR}/emu/harness/Support.cpp
                       ${CMAKE_SOURCE_DIR}/firmware/capsule/FmpCapsule.cpp)
list(REMOVE_ITEM KVR_HARNESS_SOURCES ${KVR_HARNESS_SHARED})
add_library(kvr_efi_harness_shared OBJECT ${KVR_HARNESS_SHARED})
add_executable(kvr_efi_harness ${KVR_HARNESS_SOURCES}
                               $<TARGET_OBJECTS:kvr_efi_harness_shared>)
add_executable(kvr_efi_probe ${CMAKE_SOURCE_DIR}/emu/probe/ProbeDriver.cpp
                             $<TARGET_OBJECTS:kvr_efi_harness_shared>)
foreach(target kvr_efi_harness_shared kvr_efi_harness kvr_efi_probe)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/firmware ${CMAKE_SOURCE_DIR})
  target_compile_options(${target} PRIVATE ${KVR_EFI_EMU_FLAGS})
endforeach()
target_link_options(kvr_efi_harness PRIVATE -subsystem:efi_application -entry:KvrHarnessMain
                    -nodefaultlib -timestamp:0)
set_target_properties(kvr_efi_harness PROPERTIES OUTPUT_NAME KvrHarness)
kvr_efi_image(kvr_efi_harness ${CMAKE_BINARY_DIR} efi_application)
target_link_options(kvr_efi_probe PRIVATE -subsystem:efi_boot_service_driver
                    -entry:KvrProbeMain -nodefaultlib -timestamp:0)
set_target_properties(kvr_efi_probe PROPERTIES OUTPUT_NAME KvrProbeDriver)
kvr_efi_image(kvr_efi_probe ${CMAKE_BINARY_DIR} efi_boot_service_driver)
