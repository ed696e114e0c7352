# Cross build with mingw-w64, posix thread model (std::mutex and GoogleTest
# need it), static runtime so that nothing but system DLLs is needed.
set(CMAKE_C_COMPILER ${VESK_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VESK_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VESK_TRIPLET}-windres)
set(VESK_WIDL ${VESK_TRIPLET}-widl)
set(CMAKE_FIND_ROOT_PATH /usr/${VESK_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
# Test programs run with the loader of their architecture in the build tree's
# private prefix for that architecture (as tools/common.sh does); plain "wine"
# would pick the 32-bit loader whenever wine32 is installed. tools/wine_run.sh
# runs a program once more when Wine failed to start it, and names a program
# that failed.
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEARCH=${VESK_WINEARCH} WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix
    WINEDEBUG=-all ${CMAKE_CURRENT_LIST_DIR}/../tools/wine_run.sh --if-silent ${VESK_WINE_LOADER})
