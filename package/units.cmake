# Every core unit: name, subsystem folder, the units it builds on.
veltra_unit(vx_base    runtime)
veltra_unit(loop_filter track DEPENDS vx_base)
veltra_unit(nco         track DEPENDS vx_base)
veltra_unit(lockdet     track DEPENDS vx_base)
veltra_unit(window      filter DEPENDS vx_base)
veltra_unit(fir         filter DEPENDS vx_base)
veltra_unit(boxcar      filter DEPENDS vx_base)
veltra_unit(detstat     detect DEPENDS vx_base)
