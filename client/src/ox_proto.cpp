// Byte-order swaps of the message framing. Field and op sizes are read right
// after they are turned, so the whole-message walks go from wire to host order.
#include "tamberlin/proto.h"

#include <byteswap.h>
#include <cstring>

void ka_proto_swap(ka_proto *p)
{
    uint8_t *b = reinterpret_cast<uint8_t *>(p);
    for (int i = 0; i < 3; i++) {
        uint8_t t = b[2 + i];
        b[2 + i] = b[7 - i];
        b[7 - i] = t;
    }
}

void ka_msg_swap_header(ka_msg *m)
{
    m->generation = bswap_32(m->generation);
    m->record_ttl = bswap_32(m->record_ttl);
    m->transaction_ttl = bswap_32(m->transaction_ttl);
    m->n_fields = bswap_16(m->n_fields);
    m->n_ops = bswap_16(m->n_ops);
}

void ka_msg_swap_field(ka_msg_field *f)
{
    f->field_sz = bswap_32(f->field_sz);
}

void ka_msg_swap_op(ka_msg_op *op)
{
    op->op_sz = bswap_32(op->op_sz);
}

// Returns the address after the fields, turning their sizes on the way.
static uint8_t *swap_fields_from(ka_msg *m)
{
    uint8_t *p = m->data;
    for (int i = 0; i < m->n_fields; i++) {
        ka_msg_field *f = reinterpret_cast<ka_msg_field *>(p);
        ka_msg_swap_field(f);
        p += 4 + f->field_sz;
    }
    return p;
}

static uint8_t *skip_fields(ka_msg *m)
{
    uint8_t *p = m->data;
    for (int i = 0; i < m->n_fields; i++)
        p += 4 + reinterpret_cast<ka_msg_field *>(p)->field_sz;
    return p;
}

static void swap_ops_from(uint8_t *p, int n_ops)
{
    for (int i = 0; i < n_ops; i++) {
        ka_msg_op *op = reinterpret_cast<ka_msg_op *>(p);
        ka_msg_swap_op(op);
        p += 4 + op->op_sz;
    }
}

void ka_msg_swap_fields(ka_msg *m)
{
    swap_fields_from(m);
}

void ka_msg_swap_fields_and_ops(ka_msg *m)
{
    swap_ops_from(swap_fields_from(m), m->n_ops);
}

void ka_msg_swap_ops(ka_msg *m)
{
    swap_ops_from(skip_fields(m), m->n_ops);
}
