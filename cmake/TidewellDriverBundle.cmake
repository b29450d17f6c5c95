# Finishes the plug-in bundle after the driver is linked: writes its Info.plist with a hash of
# the bundle's content under "TWDriverContentHash" (the installer compares it between the
# application's copy and the installed one), then lays a copy of the whole bundle out in the
# application's share folder, where the installer finds the bundle it installs.
#
#   cmake -DMODULE=... -DTEMPLATE=... -DICON=... -DBUNDLE=... -DSHARE=... -DPROJECT_VERSION=... -P
foreach(var MODULE TEMPLATE ICON BUNDLE SHARE PROJECT_VERSION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "TidewellDriverBundle.cmake needs -D${var}=...")
  endif()
endforeach()

# The hash covers the driver, the resources and every other Info.plist value, so any change
# of what the server would load changes it.
file(SHA256 ${MODULE} _module_hash)
file(SHA256 ${ICON} _icon_hash)
set(TW_DRIVER_CONTENT_HASH "")
file(READ ${TEMPLATE} _template)
string(CONFIGURE "${_template}" _plist_without_hash @ONLY)
string(SHA256 TW_DRIVER_CONTENT_HASH "${_module_hash}\n${_icon_hash}\n${_plist_without_hash}")
configure_file(${TEMPLATE} ${BUNDLE}/Contents/Info.plist @ONLY)
configure_file(${ICON} ${BUNDLE}/Contents/Resources/DeviceIcon.icns COPYONLY)

get_filename_component(_name ${BUNDLE} NAME)
file(REMOVE_RECURSE ${SHARE}/${_name})
file(MAKE_DIRECTORY ${SHARE})
file(COPY ${BUNDLE} DESTINATION ${SHARE})
