# Copies a shipped file into place unless the copy there was changed by hand.
# SHIP_SOURCE: the shipped file; SHIP_TARGET: where it goes; SHIP_RECORD: the
# copy last shipped there, kept to tell a changed target from an old one.
# The target is written when missing, unchanged since the last shipping, or
# already equal to the source. Included by the build, or run on its own:
#   cmake -DSHIP_SOURCE=... -DSHIP_TARGET=... -DSHIP_RECORD=... -P ShipUnlessChanged.cmake
set(ship_copy TRUE)
if(EXISTS ${SHIP_TARGET})
  file(SHA256 ${SHIP_TARGET} ship_now)
  file(SHA256 ${SHIP_SOURCE} ship_new)
  set(ship_last "")
  if(EXISTS ${SHIP_RECORD})
    file(SHA256 ${SHIP_RECORD} ship_last)
  endif()
  if(NOT ship_now STREQUAL ship_last AND NOT ship_now STREQUAL ship_new)
    set(ship_copy FALSE)
    message(STATUS "${SHIP_TARGET} was changed by hand: kept (the shipped one is ${SHIP_SOURCE})")
  endif()
endif()
if(ship_copy)
  get_filename_component(ship_folder ${SHIP_TARGET} DIRECTORY)
  file(MAKE_DIRECTORY ${ship_folder})  # a fresh build folder has no program folder yet
  file(COPY_FILE ${SHIP_SOURCE} ${SHIP_TARGET} ONLY_IF_DIFFERENT)
endif()
file(COPY_FILE ${SHIP_SOURCE} ${SHIP_RECORD} ONLY_IF_DIFFERENT)
