/* The core is usable from C without Python: create, run, save, restore, destroy. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "interleaver.h"
#include "lockdet.h"
#include "loop_filter.h"
#include "nco.h"
#include "rs_codec.h"
#include "viterbi.h"
#include "vx_interrupt.h"
#include "vx_tlm.h"

#define CHECK(c)                                                  \
    do {                                                          \
        if (!(c)) {                                               \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #c); \
            return 1;                                             \
        }                                                         \
    } while (0)

int main(void)
{
    loop_filter *lf = loop_filter_create(0.02, 0.707, 1.0);
    CHECK(lf != NULL);
    double x = 1.0, y = 0.0;
    loop_filter_steps(lf, &x, &y, 1);
    CHECK(fabs(y - 0.05331) < 5e-6);

    unsigned char blob[LOOP_FILTER_STATE_BYTES];
    CHECK(loop_filter_state_bytes(lf) == sizeof blob);
    loop_filter_get_state(lf, blob);
    CHECK(memcmp(blob, "LPFL", 4) == 0);
    loop_filter *copy = loop_filter_create(0.5, 1.0, 1.0);
    CHECK(loop_filter_set_state(copy, blob) == VX_OK);
    blob[4] ^= 1;
    CHECK(loop_filter_set_state(copy, blob) == VX_ERR_INVALID);
    loop_filter_destroy(copy);
    loop_filter_destroy(lf);
    loop_filter_destroy(NULL);

    nco *o = nco_create(0.25, 0);
    unsigned int ph[4];
    CHECK(nco_steps_u32(o, 4, ph, 4) == 4);
    CHECK(ph[1] == 0x40000000u && ph[3] == 0xC0000000u);
    nco_destroy(o);

    lockdet *ld = lockdet_create(0.5, 0.2, 2, 2);
    double looks[3] = {1.0, 1.0, 0.0};
    int out[3];
    CHECK(lockdet_steps(ld, looks, out, 3) == 3);
    CHECK(out[0] == 0 && out[1] == 1 && out[2] == 1);
    lockdet_destroy(ld);

    vx_tlm *tlm = vx_tlm_create(8);
    CHECK(tlm != NULL);
    int id = vx_tlm_probe(tlm, "c.x", 1);
    CHECK(id == 0 && vx_tlm_emit_checked(tlm, id, 2.5f) == VX_OK);
    vx_tlm_record rec[8];
    CHECK(vx_tlm_read(tlm, 0, rec, 8) == 1 && rec[0].value == 2.5f);
    vx_tlm_destroy(tlm);

    vx_interrupt_guard *g = vx_interrupt_guard_create(NULL, 0, 0);
    CHECK(g != NULL && !vx_interrupted());
    vx_interrupt();
    CHECK(vx_interrupt_guard_interrupted(g));
    vx_interrupt_guard_destroy(g);
    vx_resume();

    const uint32_t polys[2] = {07, 05};
    conv_enc *enc = conv_enc_create(polys, 2, 3, 0);
    viterbi *vit = viterbi_create(polys, 2, 3, 0, 1);
    uint8_t bits[4] = {1, 0, 1, 1}, sym[8], dec[4];
    float llr[8];
    CHECK(conv_enc_encode(enc, bits, 4, sym, 8) == 8);
    for (int i = 0; i < 8; ++i)
        llr[i] = sym[i] ? -1.0f : 1.0f;
    CHECK(viterbi_decode(vit, llr, 8, dec, 4) == 4 && memcmp(dec, bits, 4) == 0);
    viterbi_destroy(vit);
    conv_enc_destroy(enc);

    rs_codec *rs = rs_codec_create(4, 4, 3, 0, 1);
    uint8_t word[15] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    CHECK(rs_codec_encode(rs, word, 11, word, 15) == 15);
    word[2] ^= 5;
    CHECK(rs_codec_decode(rs, word, 15) == 1 && word[2] == 3);
    rs_codec_destroy(rs);

    interleaver *il = interleaver_create(2, 3, 1);
    uint8_t rows[6] = {0, 1, 2, 3, 4, 5}, cols[6];
    CHECK(interleaver_interleave(il, rows, 6, cols, 6) == 6 && cols[1] == 3);
    interleaver_destroy(il);

    printf("c_abi_smoke: ok\n");
    return 0;
}
