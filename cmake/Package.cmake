# The Debian package, built by CPack (scripts/package.sh): the files of Install.cmake under
# /usr, with the shared library dependencies found by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvo-pkcs11)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Dravenholtique")
set(CPACK_PACKAGE_CONTACT "Orvo PKCS#11 maintainers <orvo-pkcs11@dravenholtique.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "PKCS#11 library for the Orvo hardware security module")
set(CPACK_PACKAGE_DESCRIPTION
  "liborvo-pkcs11.so gives PKCS#11 (Cryptoki 2.40) applications access to the Orvo token over\
 USB or TLS, registered with p11-kit. With orvo-admin, a maintenance tool, and orvo-sim, a\
 simulated token served over TLS.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The p11-kit and udev directories are absolute: stage everything under DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "p11-kit")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
