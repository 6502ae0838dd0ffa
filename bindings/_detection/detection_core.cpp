// veltra._detection: the detection-statistics functions of the core, each broadcasting
// over array arguments. Documented and re-exported by veltra.detection.
#include "vxb_vectorize.h"

#include "detstat.h"
#include "detstat_internal.h"

using namespace vxb;

NB_MODULE(_detection, m)
{
    init_module(m, "Detection statistics (native part of veltra.detection).");

    vectorize<marcum_q>(m, "marcum_q", {"M", "a", "b"}, "Generalised Marcum Q_M(a, b).");
    vectorize<det_threshold>(m, "det_threshold", {"pfa"}, "Envelope CFAR threshold.");
    vectorize<det_pd>(m, "det_pd", {"n", "snr", "eta"}, "Envelope detection probability.");
    vectorize<det_dwell>(m, "det_dwell", {"max_n", "snr", "pd", "pfa"}, "Samples needed for pd.");
    vectorize<det_snr>(m, "det_snr", {"n", "pd", "pfa"}, "Amplitude SNR needed for pd.");
    vectorize<det_threshold_noncoherent>(m, "det_threshold_noncoherent", {"pfa", "n_looks"},
                                         "Non-coherent CFAR threshold.");
    vectorize<det_pd_noncoherent>(m, "det_pd_noncoherent", {"N", "L", "snr", "eta"},
                                  "Non-coherent detection probability.");
    vectorize<det_n_noncoh>(m, "det_n_noncoh", {"N", "max_looks", "snr", "pd", "pfa"},
                            "Looks needed for pd.");
    vectorize<det_threshold_power>(m, "det_threshold_power", {"pfa"}, "Power CFAR threshold.");
    vectorize<det_pd_power>(m, "det_pd_power", {"n", "snr", "eta"}, "Power detection probability.");
    vectorize<det_dwell_power>(m, "det_dwell_power", {"max_n", "snr", "pd", "pfa"},
                               "Samples needed for pd, power detector.");
    vectorize<det_snr_power>(m, "det_snr_power", {"n", "pd", "pfa"}, "Power SNR needed for pd.");
    vectorize<det_threshold_f>(m, "det_threshold_f", {"n", "pfa"}, "F-ratio CFAR threshold.");
    vectorize<det_q_inv>(m, "det_q_inv", {"p"}, "Inverse Gaussian tail.");
    vectorize<det_dwell_gauss>(m, "det_dwell_gauss", {"d", "k", "pd", "pfa"},
                               "Samples needed for pd, Gaussian statistic.");
    vectorize<det_threshold_gauss>(m, "det_threshold_gauss", {"mu", "pd", "pfa"},
                                   "Threshold of a Gaussian statistic.");
    vectorize<det_ema_alpha>(m, "det_ema_alpha", {"in_snr_db", "out_snr_db"},
                             "EMA factor of a noise reference.");
    vectorize<det_verify_count>(m, "det_verify_count", {"p", "budget"}, "Consecutive passes needed.");
    vectorize<det_verify_delay>(m, "det_verify_delay", {"n", "p"}, "Expected decisions to n passes.");

    // The special functions behind them, for tests against independent oracles.
    vectorize<gammaq>(m, "_gammaq", {"a", "x"}, "Regularised upper incomplete gamma Q(a, x).");
    vectorize<betai_half>(m, "_betai_half", {"n", "u"}, "Regularised incomplete beta I_u(n/2, n/2).");
}
