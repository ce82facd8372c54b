# Module layout for `cmake --install`: the install prefix is the module's
# root file system, so
#   cmake --install build-armhf --prefix /tmp/rootfs
# (or DESTDIR=/tmp/rootfs with the default prefix "/") gives
#   usr/bin/trailnetd, usr/bin/PicTrimApp,
#   etc/init.d/trailnetd, etc/rc5.d/S99trailnetd, etc/rc0.d/K01trailnetd,
#   etc/rc6.d/K01trailnetd, etc/trailnetd_conf.json.
# The platform stand-ins are desk-only and never installed: on the module the
# programs find the real libraries in /usr/lib. The CA bundle the daemon
# verifies the cloud with, /usrdata/cacert.pem, lives on the module's data
# partition and is provisioned per device, not installed here.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX / CACHE PATH "Root of the installed file system" FORCE)
endif()
set(TN_DIST_DIR ${CMAKE_CURRENT_LIST_DIR}/../dist)

foreach(prog trailnetd PicTrimApp)
  if(TARGET ${prog})
    install(TARGETS ${prog} RUNTIME DESTINATION usr/bin)
  endif()
endforeach()

install(PROGRAMS ${TN_DIST_DIR}/trailnetd.init DESTINATION etc/init.d RENAME trailnetd)
# It will hold the API token: readable by root only, as the daemon creates it.
install(FILES ${TN_DIST_DIR}/trailnetd_conf.json DESTINATION etc
  PERMISSIONS OWNER_READ OWNER_WRITE)

# Start late at boot (after the modem's own services), stop early at halt
# and reboot, as the module's other sysvinit services are linked.
install(CODE [[
  set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  foreach(link rc5.d/S99trailnetd rc0.d/K01trailnetd rc6.d/K01trailnetd)
    get_filename_component(dir "${root}/etc/${link}" DIRECTORY)
    file(MAKE_DIRECTORY "${dir}")
    file(REMOVE "${root}/etc/${link}")
    file(CREATE_LINK ../init.d/trailnetd "${root}/etc/${link}" SYMBOLIC)
    message(STATUS "Installing: ${root}/etc/${link}")
  endforeach()
]])
