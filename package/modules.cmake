# Which core units each extension module links (its own copy of each).
#              module   core units
veltra_module(track    loop_filter nco lockdet)
veltra_module(_detection detstat)
