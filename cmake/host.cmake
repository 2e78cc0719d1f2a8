# The host tree: the driver's sources built for the host with the simulated platform and the
# camera model, the tools, the camera server, the figures and the tests.

# The driver image the tests and the figures read: the one the efi tree beside this one links.
set(KVR_EFI_TREE "${CMAKE_BINARY_DIR}/../efi" CACHE PATH
    "The efi tree whose driver image the tests read")
get_filename_component(KVR_EFI_IMAGE_PATH "${KVR_EFI_TREE}/${KVR_EFI_IMAGE_NAME}" ABSOLUTE)

option(KVR_SANITIZE "Build the host tree with ASan and UBSan" ON)
if(KVR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
add_compile_options(-Wall -Wextra -Werror -g)
# g++ 12, optimising, reports faults inside libstdc++'s inlined copies that cannot happen:
# -Warray-bounds on std::vector::insert after a short initialiser list (camera/UsbDevice.cpp
# RawDescriptor, camera/Uvc.cpp ExtensionUnit), -Wrestrict on std::string's operator+
# (tools/kvr-scenario/main.cpp) and -Wstringop-overflow on a copy into a vector sized from
# its source (tools/CapsuleFormat.cpp Inspect). Optimised g++ builds keep them as warnings;
# Debug builds (make host), where g++ does not make them up, keep them errors.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-Wno-error=array-bounds;-Wno-error=restrict;-Wno-error=stringop-overflow>")
endif()

# The driver sources: freestanding C++ shared with the UEFI image.
add_library(kvr_driver OBJECT ${KVR_DRIVER_SOURCES})
# The driver sees only its own tree.
target_include_directories(kvr_driver PUBLIC ${CMAKE_SOURCE_DIR}/firmware)
target_compile_options(kvr_driver PRIVATE -fno-exceptions -fno-rtti)

# Host-only code: the camera model and the simulated platform. One archive holds them
# with the driver objects, since the simulation provides the host build's debug sink.
add_library(kvr_host STATIC $<TARGET_OBJECTS:kvr_driver> ${KVR_CAMERA_SOURCES}
                            ${KVR_SIM_SOURCES})
target_include_directories(kvr_host PUBLIC ${CMAKE_SOURCE_DIR}/firmware ${CMAKE_SOURCE_DIR}/host
                                           ${CMAKE_SOURCE_DIR})

# Tools for platform integrators, and the library they share with the tests.
add_library(kvr_tools STATIC ${KVR_TOOLS_SOURCES})
target_link_libraries(kvr_tools PUBLIC kvr_host)
# kvrcap signs and verifies payload items with OpenSSL's libcrypto (Debian's libssl-dev);
# nothing else links it, the driver least of all.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
add_executable(kvrcap ${CMAKE_SOURCE_DIR}/tools/kvrcap/main.cpp
                      ${CMAKE_SOURCE_DIR}/tools/kvrcap/Pkcs7.cpp)
target_link_libraries(kvrcap PRIVATE kvr_tools OpenSSL::Crypto)
add_executable(kvr-scenario ${CMAKE_SOURCE_DIR}/tools/kvr-scenario/main.cpp)
target_link_libraries(kvr-scenario PRIVATE kvr_tools)

# The usbredir camera server for QEMU, and the library its tests use.
add_subdirectory(emu)

# The figures of the update (make bench).
add_subdirectory(tools/bench)

# Tests: every .cpp under tests/ except the fuzz targets, linked directly into one
# executable (test objects inside a static library would be dropped by the linker).
find_package(GTest REQUIRED)
file(GLOB_RECURSE KVR_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*.cpp)
list(FILTER KVR_TEST_SOURCES EXCLUDE REGEX "/tests/fuzz/")
add_executable(kvr_tests ${KVR_TEST_SOURCES})
target_include_directories(kvr_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(kvr_tests PRIVATE kvr_emu kvr_tools kvr_host GTest::gmock GTest::gtest)
target_compile_definitions(kvr_tests PRIVATE KVRCAP_PATH="$<TARGET_FILE:kvrcap>"
                           KVR_SCENARIO_PATH="$<TARGET_FILE:kvr-scenario>"
                           KVR_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                           KVR_EFI_IMAGE_PATH="${KVR_EFI_IMAGE_PATH}")
add_dependencies(kvr_tests kvrcap kvr-scenario)
