# A wheel that carries libdivsufsort and tables made from the Unicode Character Database (see
# scripts/build-wheels.sh) carries their licences too: every file of QUARNEL_BUNDLED_LICENSES_DIR
# goes into the wheel's metadata.
set(QUARNEL_BUNDLED_LICENSES_DIR "" CACHE PATH "Licences of what a static wheel build links in")
if(QUARNEL_BUNDLED_LICENSES_DIR AND DEFINED SKBUILD_METADATA_DIR)
  file(GLOB _quarnel_licenses "${QUARNEL_BUNDLED_LICENSES_DIR}/*")
  if(NOT _quarnel_licenses)
    message(FATAL_ERROR "QUARNEL_BUNDLED_LICENSES_DIR: no licence in ${QUARNEL_BUNDLED_LICENSES_DIR}")
  endif()
  install(FILES ${_quarnel_licenses} DESTINATION "${SKBUILD_METADATA_DIR}/licenses")
endif()
