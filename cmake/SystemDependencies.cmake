# Finds libdivsufsort and ICU through pkg-config. A missing piece stops the configure step at once
# with the Debian packages to install, instead of a pkg-config message naming only a .pc file.
# Without pkg-config neither library can be looked for, so all three packages are named.
find_package(PkgConfig QUIET)
set(_quarnel_missing_packages "")
if(NOT PKG_CONFIG_FOUND)
  list(APPEND _quarnel_missing_packages pkg-config)
else()
  pkg_check_modules(DIVSUFSORT QUIET IMPORTED_TARGET libdivsufsort)
  pkg_check_modules(ICU_UC QUIET IMPORTED_TARGET icu-uc)
endif()
if(NOT DIVSUFSORT_FOUND)
  list(APPEND _quarnel_missing_packages libdivsufsort-dev)
endif()
if(NOT ICU_UC_FOUND)
  list(APPEND _quarnel_missing_packages libicu-dev)
endif()
if(_quarnel_missing_packages)
  list(JOIN _quarnel_missing_packages " " _quarnel_missing)
  message(FATAL_ERROR
    "quarnel builds against system libraries that were not found.\n"
    "Install these Debian packages: ${_quarnel_missing}\n"
    "  sudo apt-get install ${_quarnel_missing}\n"
    "(on other distributions: pkg-config and the development files of libdivsufsort and ICU).")
endif()
