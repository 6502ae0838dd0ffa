# Which core units each extension module links (its own copy of each).
#              module       core units
veltra_module(track        loop_filter nco lockdet symsync ratesync mpsk_receiver wfm_dsss costas carrier_mpsk carrier_nda dll)
veltra_module(filter       window fir boxcar ciccomp)
veltra_module(_detection   detstat)
veltra_module(agc          agc)
veltra_module(ddc          ddc window)
veltra_module(_telemetry   vx_tlm)
veltra_module(interrupt    vx_interrupt DESTINATION veltra/interrupt)
veltra_module(coding       conv_enc viterbi rs_codec interleaver)
veltra_module(ber          ber_meter frame_meter link_theory)
veltra_module(spectral     fft fft2d window specmeas psd corr corr2d detector detector2d)
veltra_module(accumulator  acc acc_trace)
veltra_module(acquire      carrier_acq)
veltra_module(scriba       scriba)
veltra_module(lectra       lectra scriba wfm_compose vx_interrupt IMPORTS interrupt)

# Test-only module exercising the shared binding rules (built by `make test`).
if(VELTRA_TEST_MODULES)
  veltra_module(_bindtest vx_interrupt vx_tlm IMPORTS interrupt)
endif()
