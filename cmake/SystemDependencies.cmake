# Finds libdivsufsort through pkg-config and the Unicode Character Database the character tables are
# generated from. A missing piece stops the configure step at once with the Debian packages to
# install, instead of a pkg-config message naming only a .pc file. Without pkg-config libdivsufsort
# cannot be looked for, so pkg-config is named too.
set(QUARNEL_UCD_DIR "/usr/share/unicode" CACHE PATH "The Unicode Character Database (UnicodeData.txt and the rest)")
set(QUARNEL_UCD_FILES UnicodeData.txt DerivedCoreProperties.txt SpecialCasing.txt)
find_package(PkgConfig QUIET)
set(_quarnel_missing_packages "")
if(NOT PKG_CONFIG_FOUND)
  list(APPEND _quarnel_missing_packages pkg-config)
else()
  pkg_check_modules(DIVSUFSORT QUIET IMPORTED_TARGET libdivsufsort)
endif()
if(NOT DIVSUFSORT_FOUND)
  list(APPEND _quarnel_missing_packages libdivsufsort-dev)
endif()
foreach(_file IN LISTS QUARNEL_UCD_FILES)
  if(NOT EXISTS "${QUARNEL_UCD_DIR}/${_file}")
    list(APPEND _quarnel_missing_packages unicode-data)
    break()
  endif()
endforeach()
if(_quarnel_missing_packages)
  list(JOIN _quarnel_missing_packages " " _quarnel_missing)
  message(FATAL_ERROR
    "quarnel builds against system packages that were not found.\n"
    "Install these Debian packages: ${_quarnel_missing}\n"
    "  sudo apt-get install ${_quarnel_missing}\n"
    "(on other distributions: pkg-config, the development files of libdivsufsort, and the Unicode "
    "Character Database in QUARNEL_UCD_DIR).")
endif()
find_package(Python3 3.8 REQUIRED COMPONENTS Interpreter)
