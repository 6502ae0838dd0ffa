# Which core units each extension module links (its own copy of each).
#              module       core units
veltra_module(track        loop_filter nco lockdet)
veltra_module(filter       window fir boxcar ciccomp)
veltra_module(_detection   detstat)
veltra_module(agc          agc)
veltra_module(ddc          ddc window)
veltra_module(_telemetry   vx_tlm)
veltra_module(interrupt    vx_interrupt DESTINATION veltra/interrupt)
veltra_module(qcast        f32_to_int int_to_f32 adc bitstr)
veltra_module(delay        delay)
veltra_module(tickr        vx_tickr IMPORTS interrupt)
veltra_module(buffer       buffer IMPORTS interrupt)
veltra_module(ber          ber_meter frame_meter link_theory)

# Test-only module exercising the shared binding rules (built by `make test`).
if(VELTRA_TEST_MODULES)
  veltra_module(_bindtest vx_interrupt vx_tlm IMPORTS interrupt)
endif()
