# Every dependency comes from Debian. On Linux: the installed packages (scripts/setup.sh). For
# Windows: the libraries that scripts/windows/deps.sh builds from Debian's source packages, and
# the installed header-only ones (cmake/PlatformWindows.cmake).
find_package(Threads REQUIRED)
find_package(nanopb CONFIG REQUIRED)

# The message generator runs on the build machine.
find_program(NANOPB_GENERATOR nanopb_generator.py REQUIRED)
find_program(PROTOC protoc REQUIRED)

find_library(MBEDTLS_LIB mbedtls REQUIRED)
find_library(MBEDX509_LIB mbedx509 REQUIRED)
find_library(MBEDCRYPTO_LIB mbedcrypto REQUIRED)
add_library(orvo_mbedtls INTERFACE)
target_link_libraries(orvo_mbedtls INTERFACE ${MBEDTLS_LIB} ${MBEDX509_LIB} ${MBEDCRYPTO_LIB})

# The simulator's cryptography (Linux only: the simulator is not built for Windows).
if(NOT WIN32)
  find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
endif()

# The platform's part: header-only libraries, hidapi with its backend, system libraries, and
#   ORVO_PLATFORM             the directory of the platform files under src/ and elsewhere
#                             (posix or windows)
#   ORVO_HID_PLATFORM_SOURCE  how the input report length of a HID device is learned
#   orvo_hidapi_shipped       hidapi's backend as the shipped programs link it (its hid_
#                             functions exported from the shared library)
#   ORVO_SHIPPED_LIBRARY_LINK_OPTIONS  what makes the shared library export only its public names
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/PlatformWindows.cmake)
else()
  include(${CMAKE_CURRENT_LIST_DIR}/PlatformLinux.cmake)
endif()
