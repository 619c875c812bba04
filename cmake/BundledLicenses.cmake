# A wheel that carries libdivsufsort and ICU (see scripts/build-wheels.sh) must carry their
# licences too. They are taken from the system's packages at build time into the wheel's metadata.
option(QUARNEL_BUNDLED_LICENSES "Install the licences of the libraries a repaired wheel carries" OFF)
if(QUARNEL_BUNDLED_LICENSES AND DEFINED SKBUILD_METADATA_DIR)
  set(_quarnel_licenses
    "${ICU_UC_PREFIX}/share/icu/${ICU_UC_VERSION}/LICENSE=ICU-LICENSE"
    "/usr/share/doc/libdivsufsort3/copyright=libdivsufsort-COPYRIGHT")
  foreach(_entry IN LISTS _quarnel_licenses)
    string(REPLACE "=" ";" _pair "${_entry}")
    list(GET _pair 0 _file)
    list(GET _pair 1 _name)
    if(NOT EXISTS "${_file}")
      message(FATAL_ERROR "QUARNEL_BUNDLED_LICENSES: ${_file} is missing")
    endif()
    install(FILES "${_file}" DESTINATION "${SKBUILD_METADATA_DIR}/licenses" RENAME "${_name}")
  endforeach()
endif()
