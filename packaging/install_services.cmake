# Installs the systemd units and the engine's defaults file. With the prefix
# /usr (the package) they go where Debian 12 keeps them, /lib/systemd/system
# and /etc/default; with any other prefix they stay under it.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(unit_dir /lib/systemd/system)
  set(HBT_SYSCONFDIR /etc)
else()
  set(unit_dir ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
  set(HBT_SYSCONFDIR ${CMAKE_INSTALL_PREFIX}/etc)
endif()
set(HBT_BINDIR ${CMAKE_INSTALL_PREFIX}/${HBT_BINDIR_NAME})
set(HBT_SBINDIR ${CMAKE_INSTALL_PREFIX}/${HBT_SBINDIR_NAME})

set(readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
foreach(unit hbt-engined.service harbinet-headless.service)
  configure_file(${HBT_PACKAGING_SOURCE}/${unit}.in ${HBT_PACKAGING_BINARY}/installed/${unit} @ONLY)
  file(INSTALL ${HBT_PACKAGING_BINARY}/installed/${unit} DESTINATION ${unit_dir} FILE_PERMISSIONS ${readable})
endforeach()
file(INSTALL ${HBT_PACKAGING_SOURCE}/hbt-engined.default DESTINATION ${HBT_SYSCONFDIR}/default
     RENAME hbt-engined FILE_PERMISSIONS ${readable})
