# FFTW3 in double and single precision, with the threads libraries that make the planner
# safe for concurrent use: one imported target, veltra::fftw.
if(NOT TARGET veltra::fftw)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(FFTW3 REQUIRED IMPORTED_TARGET fftw3 fftw3f)
  find_library(FFTW3_THREADS_LIB fftw3_threads HINTS ${FFTW3_LIBRARY_DIRS} REQUIRED)
  find_library(FFTW3F_THREADS_LIB fftw3f_threads HINTS ${FFTW3_LIBRARY_DIRS} REQUIRED)
  find_package(Threads REQUIRED)
  add_library(veltra::fftw INTERFACE IMPORTED)
  target_link_libraries(veltra::fftw INTERFACE ${FFTW3_THREADS_LIB} ${FFTW3F_THREADS_LIB}
                        PkgConfig::FFTW3 Threads::Threads)
endif()
