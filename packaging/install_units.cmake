# Writes the systemd units with the program paths of the prefix being installed to.
set(SBINDIR "${CMAKE_INSTALL_PREFIX}/sbin")
set(unitDir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
foreach(unit steuerbox-schedule-manager.service steuerbox-iec-server.service)
  message(STATUS "Installing: ${unitDir}/${unit}")
  configure_file("${BOX_UNIT_SOURCES}/${unit}.in" "${unitDir}/${unit}" @ONLY)
endforeach()
