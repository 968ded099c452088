# Fails the configure step, saying what to install, unless NUMPY_INCLUDE_DIR
# holds NumPy 2's headers. The module calls NumPy 2's API (PyArray_ImportNumPyAPI,
# NPY_TARGET_VERSION) so that one binary runs with NumPy 1.21 through 2.x;
# NumPy 1.x headers would end in a bare compiler error instead.
# Inputs: NUMPY_INCLUDE_DIR, NUMPY_VERSION (for the message).
set(numpy_config "${NUMPY_INCLUDE_DIR}/numpy/_numpyconfig.h")
set(numpy_abi_major 0)
if(EXISTS "${numpy_config}")
  file(STRINGS "${numpy_config}" numpy_abi_line REGEX "#define[ \t]+NPY_ABI_VERSION[ \t]+0x")
  if(numpy_abi_line MATCHES "0x([0-9a-fA-F][0-9a-fA-F])[0-9a-fA-F]*")
    math(EXPR numpy_abi_major "0x${CMAKE_MATCH_1}")
  endif()
endif()
if(numpy_abi_major LESS 2)
  message(FATAL_ERROR
    "brimel_native is compiled against NumPy 2's headers (the module then runs "
    "with NumPy 1.21 and later), but the build found NumPy ${NUMPY_VERSION} with "
    "headers in ${NUMPY_INCLUDE_DIR}. Install NumPy 2 into the build environment, "
    "e.g. `python -m pip install 'numpy>=2'`, or build with build isolation "
    "(`pip install .` without --no-build-isolation), which brings it.")
endif()
