# What `cmake --install` puts where. The library goes into <libdir>/pkcs11/ beside the other
# PKCS#11 modules, the headers and the pkg-config file of the administration and raw port
# interface under the prefix, the tools into <bindir>. The p11-kit module file and the udev
# rule go where p11-kit and udev read them, whatever the prefix (both directories can be set).
include(GNUInstallDirs)

pkg_get_variable(ORVO_P11KIT_CONFIGS_DEFAULT p11-kit-1 p11_module_configs)
set(ORVO_P11KIT_MODULE_CONFIGS "${ORVO_P11KIT_CONFIGS_DEFAULT}" CACHE PATH
  "Directory of p11-kit's module files (orvo.module goes there)")
pkg_get_variable(ORVO_UDEV_DIR udev udevdir)
if(NOT ORVO_UDEV_DIR)
  set(ORVO_UDEV_DIR /usr/lib/udev)
endif()
set(ORVO_UDEV_RULES_DIR "${ORVO_UDEV_DIR}/rules.d" CACHE PATH "Directory of udev's rules")
set(ORVO_MODULE_DIR ${CMAKE_INSTALL_LIBDIR}/pkcs11)

install(TARGETS orvo-pkcs11 LIBRARY DESTINATION ${ORVO_MODULE_DIR})
install(DIRECTORY include/orvo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
install(TARGETS orvo-admin orvo-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES packaging/70-orvo.rules DESTINATION ${ORVO_UDEV_RULES_DIR})
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# pkg-config: relocatable, the prefix found from the file's own place.
file(RELATIVE_PATH ORVO_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" ORVO_PC_TO_PREFIX "${ORVO_PC_TO_PREFIX}")
configure_file(packaging/orvo-pkcs11.pc.in ${CMAKE_CURRENT_BINARY_DIR}/orvo-pkcs11.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/orvo-pkcs11.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The module file names the library by its installed path, known only at install time (the
# prefix may be given to `cmake --install`); DESTDIR is a staging area and stays out of it
# (file(INSTALL) adds it to the destination).
install(CODE "
  set(module \"\${CMAKE_INSTALL_PREFIX}/${ORVO_MODULE_DIR}/$<TARGET_FILE_NAME:orvo-pkcs11>\")
  configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/packaging/orvo.module.in\"
                 \"${CMAKE_CURRENT_BINARY_DIR}/orvo.module\" @ONLY)
  file(INSTALL \"${CMAKE_CURRENT_BINARY_DIR}/orvo.module\"
       DESTINATION \"${ORVO_P11KIT_MODULE_CONFIGS}\")")
