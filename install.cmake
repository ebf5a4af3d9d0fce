# What `cmake --install` (and so the Debian package) puts on a machine:
#   /usr/sbin/veskoinit (on Debian 12's merged /usr the same file as /sbin/veskoinit), with
#   veskoctl, vesko-service and vesko-run beside it as links;
#   the power commands as links in a directory of their own, so that they never replace the
#   machine's own halt, shutdown and reboot;
#   the configuration directories, the manual pages, bash completion and the examples.

set(VESKO_SBINDIR ${CMAKE_INSTALL_PREFIX}/sbin CACHE PATH "Directory of the veskoinit executable (absolute)")
set(VESKO_POWER_DIR ${CMAKE_INSTALL_PREFIX}/lib/veskoinit/bin)
set(VESKO_DOC_DIR ${CMAKE_INSTALL_PREFIX}/share/doc/veskoinit)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(VESKO_SYSCONF_DIR /etc)
else()
  set(VESKO_SYSCONF_DIR ${CMAKE_INSTALL_PREFIX}/etc)
endif()

install(TARGETS veskoinit DESTINATION ${VESKO_SBINDIR})
file(RELATIVE_PATH vesko_power_target ${VESKO_POWER_DIR} ${VESKO_SBINDIR}/veskoinit)
install(CODE "
  set(sbin \"\$ENV{DESTDIR}${VESKO_SBINDIR}\")
  set(power \"\$ENV{DESTDIR}${VESKO_POWER_DIR}\")
  file(MAKE_DIRECTORY \"\${power}\")
  foreach(name veskoctl vesko-service vesko-run)
    file(CREATE_LINK veskoinit \"\${sbin}/\${name}\" SYMBOLIC)
  endforeach()
  foreach(name halt shutdown reboot)
    file(CREATE_LINK ${vesko_power_target} \"\${power}/\${name}\" SYMBOLIC)
  endforeach()
  message(STATUS \"Installing: links to \${sbin}/veskoinit\")
")

foreach(directory services enabled conf.d)
  install(DIRECTORY DESTINATION ${VESKO_SYSCONF_DIR}/veskoinit/${directory})
endforeach()

install(FILES dist/completion/vesko-service dist/completion/veskoctl
        DESTINATION ${CMAKE_INSTALL_PREFIX}/share/bash-completion/completions)

# Manual pages, from scdoc sources, built with the executable; installed compressed.
find_program(SCDOC scdoc REQUIRED)
set(vesko_manual_pages veskoinit.8 veskoctl.8 vesko-service.8 vesko-run.8 veskoinit-power.8
    veskoinit-service.5 veskoinit-fstab.5 veskoinit-script.5 veskoinit-unit.5)
set(vesko_manual_outputs)
foreach(page ${vesko_manual_pages})
  string(REGEX MATCH "[0-9]$" section ${page})
  set(source ${PROJECT_SOURCE_DIR}/man/${page}.scd)
  set(output ${CMAKE_BINARY_DIR}/man/${page})
  add_custom_command(OUTPUT ${output} ${output}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${SCDOC} < ${source} > ${output}
    COMMAND gzip -9nc ${output} > ${output}.gz
    DEPENDS ${source} VERBATIM)
  list(APPEND vesko_manual_outputs ${output} ${output}.gz)
  install(FILES ${output}.gz DESTINATION ${CMAKE_INSTALL_PREFIX}/share/man/man${section})
endforeach()
add_custom_target(manual_pages ALL DEPENDS ${vesko_manual_outputs})

install(DIRECTORY examples/services DESTINATION ${VESKO_DOC_DIR}/examples)
# The Debian base set: its set-up command, invoke-rc.d's policy helper, its service files
# (from the examples); and the log's rotation.
install(PROGRAMS dist/debian/base/setup dist/debian/base/policy-rc.d dist/debian/base/rsyslog-rotate
        DESTINATION ${CMAKE_INSTALL_PREFIX}/share/veskoinit/debian)
install(FILES examples/services/hostname examples/services/random-seed examples/services/getty.toml
        examples/services/serial-getty.toml DESTINATION ${CMAKE_INSTALL_PREFIX}/share/veskoinit/debian/services)
# What the set-up adds where Debian has no script for it (Debian 13 with systemd-sysv).
install(FILES examples/services/udev examples/services/kmod examples/services/rsyslog
        DESTINATION ${CMAKE_INSTALL_PREFIX}/share/veskoinit/debian/fallback)
install(FILES dist/debian/logrotate RENAME veskoinit DESTINATION ${VESKO_SYSCONF_DIR}/logrotate.d)
file(WRITE ${CMAKE_BINARY_DIR}/dist/conffiles "${VESKO_SYSCONF_DIR}/logrotate.d/veskoinit\n")
configure_file(dist/debian/changelog ${CMAKE_BINARY_DIR}/dist/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/dist/changelog.gz
  COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/dist/changelog > ${CMAKE_BINARY_DIR}/dist/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/dist/changelog VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/dist/changelog.gz)
install(FILES dist/debian/copyright ${CMAKE_BINARY_DIR}/dist/changelog.gz DESTINATION ${VESKO_DOC_DIR})
string(REGEX REPLACE "^/+" "" VESKO_SBINDIR_RELATIVE ${VESKO_SBINDIR})
configure_file(dist/debian/lintian-overrides.in ${CMAKE_BINARY_DIR}/dist/lintian-overrides @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/dist/lintian-overrides RENAME veskoinit
        DESTINATION ${CMAKE_INSTALL_PREFIX}/share/lintian/overrides)

# Last: 0755 for the directories made on the way in a staging tree, whatever the umask.
install(CODE "set(VESKO_INSTALLED_DIRECTORIES ${VESKO_SYSCONF_DIR}/veskoinit/services
  ${VESKO_SYSCONF_DIR}/veskoinit/enabled ${VESKO_SYSCONF_DIR}/veskoinit/conf.d ${VESKO_POWER_DIR})")
install(SCRIPT dist/directory-modes.cmake)

# The Debian package (scripts/package): installs beside the machine's own init and never
# replaces /sbin/init; it is booted with init=/sbin/veskoinit (or /usr/sbin/veskoinit).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veskoinit)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small, dependable init system")
set(CPACK_PACKAGE_DESCRIPTION
"veskoinit is process 1 of a Linux machine and the commands that administer it,
in one static executable: it mounts /etc/fstab, logs to a file, supervises
services defined in TOML files with restart policies, runs OpenRC-style script
services in dependency order, reaps every child and takes the machine down
cleanly.
.
The package installs beside the machine's own init; boot it with
init=/sbin/veskoinit on the kernel command line.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER
    "veskoinit maintainers <maintainers@users.noreply.c-seed-1729bd2a.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/dist/conffiles)
include(CPack)
