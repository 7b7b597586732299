# Run by `cmake --install` (see peers/CMakeLists.txt): writes the example configuration and the
# service units with the paths of the prefix being installed to, which `cmake --install --prefix`
# may change after configuring. The install rule sets VESSEL_SOURCE_DIR, VESSEL_STAGING_DIR (a
# build directory for the generated files), VESSEL_BINDIR, VESSEL_LIBDIR, VESSEL_DATADIR,
# VESSEL_SYSCONFDIR (relative to the prefix), VESSEL_GO_MODULES (the installed Go modules) and
# VESSEL_JAVA_ENTRY (the installed Java module's entry with @VESSEL_MODULE_DIR@ and
# @VESSEL_RECEIVER_HOME@ left open; empty when Java was not built).
set(prefix "${CMAKE_INSTALL_PREFIX}")
# As GNUInstallDirs has it: a /usr install keeps its settings in /etc.
if(prefix STREQUAL "/usr")
  set(VESSEL_CONF_DIR /etc/vessel)
else()
  set(VESSEL_CONF_DIR "${prefix}/${VESSEL_SYSCONFDIR}/vessel")
endif()
set(CMAKE_INSTALL_FULL_BINDIR "${prefix}/${VESSEL_BINDIR}")
set(VESSEL_MODULE_DIR "${prefix}/${VESSEL_LIBDIR}/vessel/modules")
set(VESSEL_RECEIVER_HOME "${prefix}/${VESSEL_DATADIR}/vessel/tomcat-receiver")

# The kinds that were built join the C modules of gateway.json.in.
set(VESSEL_MORE_MODULES "")
foreach(name ${VESSEL_GO_MODULES})
  string(APPEND VESSEL_MORE_MODULES ",\n    {\"Name\": \"${name}\", \"Version\": \"1.0\", "
         "\"Location\": \"${VESSEL_MODULE_DIR}/${name}\", \"Type\": \"GO\"}")
endforeach()
if(VESSEL_JAVA_ENTRY)
  file(READ "${VESSEL_JAVA_ENTRY}" entry)
  string(STRIP "${entry}" entry)
  string(CONFIGURE "${entry}" entry @ONLY)
  string(APPEND VESSEL_MORE_MODULES ",\n    ${entry}")
endif()

configure_file("${VESSEL_SOURCE_DIR}/contrib/etc/gateway.json.in" "${VESSEL_STAGING_DIR}/gateway.json" @ONLY)
set(units "")
foreach(unit vessel.service vessel-gateway.service)
  configure_file("${VESSEL_SOURCE_DIR}/contrib/systemd/${unit}.in" "${VESSEL_STAGING_DIR}/${unit}" @ONLY)
  list(APPEND units "${VESSEL_STAGING_DIR}/${unit}")
endforeach()

# file(INSTALL) honours DESTDIR and records the files in install_manifest.txt, as install() does.
file(INSTALL "${VESSEL_STAGING_DIR}/gateway.json" DESTINATION "${VESSEL_CONF_DIR}")
file(INSTALL "${VESSEL_SOURCE_DIR}/contrib/etc/container.json" "${VESSEL_SOURCE_DIR}/contrib/etc/containerlog.json"
     DESTINATION "${VESSEL_CONF_DIR}/conf")
file(INSTALL ${units} DESTINATION "${prefix}/lib/systemd/system")
