# Install check: install this build into a scratch prefix, build a small C
# program against it through pkg-config and through find_package(kestrix),
# and run it (through the emulator in a cross build).
find_program(KESTRIX_PKG_CONFIG NAMES pkg-config pkgconf REQUIRED)
if(CMAKE_READELF)
  set(_kestrix_readelf ${CMAKE_READELF})
else()
  find_program(_kestrix_readelf readelf REQUIRED)
endif()

set(_kestrix_installed_programs kestrix-run)
set(_kestrix_installed_preloads "")
if(TARGET kestrix-sim)
  list(APPEND _kestrix_installed_programs kestrix-sim kestrix-grade)
endif()
string(REPLACE ";" "|" _kestrix_checkout_programs "${KESTRIX_CHECKOUT_PROGRAMS}")
if(TARGET kestrix-sim-preload)
  set(_kestrix_installed_preloads "$<TARGET_FILE_NAME:kestrix-sim-preload>")
endif()
string(REPLACE ";" "|" _kestrix_installed_programs "${_kestrix_installed_programs}")
set(_kestrix_toolchain "${CMAKE_TOOLCHAIN_FILE}")
if(KESTRIX_TOOLCHAIN_FILE)
  set(_kestrix_toolchain "${KESTRIX_TOOLCHAIN_FILE}")
endif()
string(REPLACE ";" "|" _kestrix_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")

add_test(NAME Install.ConsumerBuildsAndRunsThroughPkgConfigAndFindPackage
  COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${PROJECT_BINARY_DIR}
    -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
    -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/install-check
    -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
    -DBINDIR=${CMAKE_INSTALL_BINDIR}
    -DDATADIR=${CMAKE_INSTALL_DATADIR}
    -DC_COMPILER=${CMAKE_C_COMPILER}
    -DCXX_COMPILER=${CMAKE_CXX_COMPILER}
    -DGENERATOR=${CMAKE_GENERATOR}
    -DTOOLCHAIN_FILE=${_kestrix_toolchain}
    -DCROSSCOMPILING=${CMAKE_CROSSCOMPILING}
    -DEMULATOR=${_kestrix_emulator}
    -DPKG_CONFIG=${KESTRIX_PKG_CONFIG}
    -DREADELF=${_kestrix_readelf}
    -DPROGRAMS=${_kestrix_installed_programs}
    -DCHECKOUT_PROGRAMS=${_kestrix_checkout_programs}
    -DCHECKOUTDIR=${KESTRIX_INSTALL_CHECKOUTDIR}
    -DPRELOADS=${_kestrix_installed_preloads}
    -P ${CMAKE_CURRENT_SOURCE_DIR}/install/check.cmake)
set_tests_properties(Install.ConsumerBuildsAndRunsThroughPkgConfigAndFindPackage
  PROPERTIES TIMEOUT 300 LABELS install)
