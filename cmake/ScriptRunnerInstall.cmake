# Install layout and the Debian package.
#   <prefix>/lib/scriptrunner/scriptrunner           the runner, named in shebang lines
#   <prefix>/lib/scriptrunner/scriptrunner-fcgi      the FastCGI server, which finds the
#                                                    compiler the same way
#   <prefix>/lib/scriptrunner/compilers/zrcompiler   the compiler it starts, and its stub
#   <prefix>/bin/zrcompiler                          a link to it, for authors' --check
#   <prefix>/share/scriptrunner/examples/            example scripts, shebang naming this prefix
#   <prefix>/share/scriptrunner/deploy/              web-server configuration snippets
#   <prefix>/share/scriptrunner/LANGUAGE.md          the script language, for script authors
#   <prefix>/share/man/man1/scriptrunner.1, scriptrunner-fcgi.1, zrcompiler.1
#   <prefix>/lib/systemd/system/scriptrunner-fcgi.{socket,service}   one server as www-data
#   <prefix>/lib/systemd/system/scriptrunner-fcgi@.{socket,service}  one server per site user
include(GNUInstallDirs)

set(SR_INSTALL_LIBDIR lib/scriptrunner)
set(SR_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/scriptrunner)

install(TARGETS scriptrunner RUNTIME DESTINATION ${SR_INSTALL_LIBDIR})
install(TARGETS scriptrunner-fcgi RUNTIME DESTINATION ${SR_INSTALL_LIBDIR})
install(TARGETS zrcompiler RUNTIME DESTINATION ${SR_INSTALL_LIBDIR}/compilers)
# A stub linked against musl is a file made by a custom command, not a CMake executable.
install(PROGRAMS ${SR_BIN_DIR}/compilers/zrstub DESTINATION ${SR_INSTALL_LIBDIR}/compilers)
# A relative link, so that it holds below any prefix; the compiler finds its stub through the
# link's target.
set(SR_LINK_DIR ${CMAKE_BINARY_DIR}/install-links)
file(MAKE_DIRECTORY ${SR_LINK_DIR})
file(CREATE_LINK ../${SR_INSTALL_LIBDIR}/compilers/zrcompiler ${SR_LINK_DIR}/zrcompiler SYMBOLIC)
install(FILES ${SR_LINK_DIR}/zrcompiler DESTINATION ${CMAKE_INSTALL_BINDIR})

install(DIRECTORY ${CMAKE_SOURCE_DIR}/deploy/ DESTINATION ${SR_INSTALL_DATADIR}/deploy)
install(FILES ${CMAKE_SOURCE_DIR}/man/scriptrunner.1 ${CMAKE_SOURCE_DIR}/man/scriptrunner-fcgi.1
  ${CMAKE_SOURCE_DIR}/man/zrcompiler.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/compiler/LANGUAGE.md DESTINATION ${SR_INSTALL_DATADIR})

# The service units name the server where the package puts it; an install elsewhere gets copies
# that name the server below its own prefix.
set(SR_UNIT_FILES ${CMAKE_SOURCE_DIR}/deploy/systemd/scriptrunner-fcgi.socket
  ${CMAKE_SOURCE_DIR}/deploy/systemd/scriptrunner-fcgi.service
  ${CMAKE_SOURCE_DIR}/deploy/systemd/scriptrunner-fcgi@.socket
  ${CMAKE_SOURCE_DIR}/deploy/systemd/scriptrunner-fcgi@.service)
install(CODE "
  set(staging \"${CMAKE_BINARY_DIR}/install-units\")
  file(REMOVE_RECURSE \"\${staging}\")
  foreach(unit ${SR_UNIT_FILES})
    file(READ \"\${unit}\" text)
    string(REPLACE \"/usr/${SR_INSTALL_LIBDIR}/\" \"\${CMAKE_INSTALL_PREFIX}/${SR_INSTALL_LIBDIR}/\" text \"\${text}\")
    get_filename_component(name \"\${unit}\" NAME)
    file(WRITE \"\${staging}/\${name}\" \"\${text}\")
  endforeach()
  file(GLOB staged \"\${staging}/*\")
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\" TYPE FILE
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES \${staged})
")

# The examples' shebang lines name the runner where this install puts it. The prefix is only
# known at install time (cmake --install --prefix, or the package's /usr), so the copies are
# written then.
file(GLOB SR_EXAMPLE_SCRIPTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/examples/*.zr)
file(GLOB SR_EXAMPLE_OTHER CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/examples/*)
list(REMOVE_ITEM SR_EXAMPLE_OTHER ${SR_EXAMPLE_SCRIPTS})
install(FILES ${SR_EXAMPLE_OTHER} DESTINATION ${SR_INSTALL_DATADIR}/examples)
install(CODE "
  set(staging \"${CMAKE_BINARY_DIR}/install-examples\")
  file(REMOVE_RECURSE \"\${staging}\")
  foreach(script ${SR_EXAMPLE_SCRIPTS})
    file(READ \"\${script}\" text)
    string(REGEX REPLACE \"^#![^ \\t\\n]*\" \"#!\${CMAKE_INSTALL_PREFIX}/${SR_INSTALL_LIBDIR}/scriptrunner\" text \"\${text}\")
    get_filename_component(name \"\${script}\" NAME)
    file(WRITE \"\${staging}/\${name}\" \"\${text}\")
  endforeach()
  file(GLOB staged \"\${staging}/*.zr\")
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${SR_INSTALL_DATADIR}/examples\" TYPE FILE
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
    FILES \${staged})
")

# `make package` (cpack -G DEB): scriptrunner_<version>_<arch>.deb, installing below /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME scriptrunner)
set(CPACK_PACKAGE_VENDOR "ScriptRunner")
set(CPACK_PACKAGE_CONTACT "ScriptRunner developers <scriptrunner@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CGI host that compiles and caches scripts")
set(CPACK_PACKAGE_DESCRIPTION
  "ScriptRunner is named in a script's shebang line and started by any CGI web server. It
compiles the script into a native executable, caches it in /tmp and runs it for each request.
scriptrunner-fcgi serves the same scripts over FastCGI (nginx, lighttpd, Apache), with systemd
units that run it as www-data, or one server per site user.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "lighttpd | apache2 | nginx, fcgiwrap")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
