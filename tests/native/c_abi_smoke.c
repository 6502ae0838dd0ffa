/* The core is usable from C without Python: create, run, save, restore, destroy. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lockdet.h"
#include "loop_filter.h"
#include "nco.h"
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

    printf("c_abi_smoke: ok\n");
    return 0;
}
