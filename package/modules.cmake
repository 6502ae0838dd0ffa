# Which core units each extension module links (its own copy of each).
#              module       core units
veltra_module(track        loop_filter nco lockdet)
veltra_module(filter       window fir boxcar)
veltra_module(_detection   detstat)

# Test-only module exercising the shared binding rules (built by `make test`).
if(VELTRA_TEST_MODULES)
  veltra_module(_bindtest)
endif()
