// The stand-in node's batch replies: one record message per digest asked for,
// packed into protocol messages, plain or compressed in either framing, and
// the faults a batch reader must survive. Runs on the connection's thread of
// the node; the node's state is reached only through fake_batch_io.
//
// A reply is built as records first (so a fault can change a record's fields
// and ops), then encoded (so a fault can break a size in the bytes), then
// packed and framed (so a fault can break a protocol header or a compressed
// message).
#include "fake_node_batch.h"

#include <algorithm>
#include <cstring>
#include <zlib.h>

namespace {

void be_append(std::string *s, uint64_t v, int n)
{
    for (int i = n - 1; i >= 0; i--)
        s->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void be_set(std::string *s, size_t off, uint64_t v, int n)
{
    for (int i = n - 1; i >= 0; i--, v >>= 8)
        (*s)[off + static_cast<size_t>(i)] = static_cast<char>(v & 0xFF);
}

uint64_t be_get(const std::string &s, size_t off, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; i++)
        v = (v << 8) | static_cast<uint8_t>(s[off + static_cast<size_t>(i)]);
    return v;
}

struct rec {
    uint8_t info1 = 0, info3 = 0, result = 0;
    uint32_t generation = 0, void_time = 0;
    std::vector<std::pair<uint8_t, std::string>> fields;
    std::vector<fake_bin_value> ops;
};

struct encoded {
    std::string bytes;
    std::vector<size_t> field_at, op_at;
};

encoded encode(const rec &r)
{
    encoded e;
    std::string &b = e.bytes;
    b.push_back(22);
    b.push_back(static_cast<char>(r.info1));
    b.push_back(0);
    b.push_back(static_cast<char>(r.info3));
    b.push_back(0);
    b.push_back(static_cast<char>(r.result));
    be_append(&b, r.generation, 4);
    be_append(&b, r.void_time, 4);
    be_append(&b, 0, 4);
    be_append(&b, r.fields.size(), 2);
    be_append(&b, r.ops.size(), 2);
    for (const auto &f : r.fields) {
        e.field_at.push_back(b.size());
        be_append(&b, f.second.size() + 1, 4);
        b.push_back(static_cast<char>(f.first));
        b += f.second;
    }
    for (const auto &op : r.ops) {
        e.op_at.push_back(b.size());
        be_append(&b, 4 + op.name.size() + op.value.size(), 4);
        b.push_back(1);
        b.push_back(static_cast<char>(op.type));
        b.push_back(0);
        b.push_back(static_cast<char>(op.name.size()));
        b += op.name;
        b += op.value;
    }
    return e;
}

std::string proto(uint8_t type, const std::string &body)
{
    std::string m;
    m.push_back(2);
    m.push_back(static_cast<char>(type));
    be_append(&m, body.size(), 6);
    return m + body;
}

// A type-4 message holding inner, announcing org_sz original bytes.
std::string zmsg(const std::string &inner, uint64_t org_sz)
{
    uLongf cap = compressBound(static_cast<uLong>(inner.size()));
    std::string z(cap, '\0');
    compress2(reinterpret_cast<Bytef *>(&z[0]), &cap, reinterpret_cast<const Bytef *>(inner.data()),
              static_cast<uLong>(inner.size()), Z_DEFAULT_COMPRESSION);
    z.resize(cap);
    std::string body(reinterpret_cast<const char *>(&org_sz), 8); // the sender's host order
    return proto(4, body + z);
}

std::string frame(const std::string &body, fake_batch_compress c)
{
    switch (c) {
    case FAKE_BATCH_COMPRESSED_WITH_HEADER: {
        std::string inner = proto(3, body);
        return zmsg(inner, inner.size());
    }
    case FAKE_BATCH_COMPRESSED_BARE:
        return zmsg(body, body.size());
    case FAKE_BATCH_PLAIN:
        break;
    }
    return proto(3, body);
}

void drop_field(rec *r, uint8_t type)
{
    r->fields.erase(std::remove_if(r->fields.begin(), r->fields.end(), [&](const auto &f) { return f.first == type; }),
                    r->fields.end());
}

void set_field(rec *r, uint8_t type, const std::string &data)
{
    for (auto &f : r->fields)
        if (f.first == type)
            f.second = data;
}

// Damage made to the record before it is encoded.
void damage_record(rec *r, fake_bad_batch bad)
{
    if (r->ops.empty())
        r->ops.push_back({"i", 1, std::string("\0\0\0\0\0\0\0\x01", 8)});
    switch (bad) {
    case FAKE_BAD_BATCH_DIGEST_SHORT:
    case FAKE_BAD_BATCH_DIGEST_LONG:
        for (auto &f : r->fields)
            if (f.first == 4)
                f.second.resize(bad == FAKE_BAD_BATCH_DIGEST_SHORT ? 19 : 21, 'x');
        break;
    case FAKE_BAD_BATCH_NS_32:
        set_field(r, 0, std::string(32, 'n'));
        break;
    case FAKE_BAD_BATCH_SET_32:
        drop_field(r, 1);
        r->fields.push_back({1, std::string(32, 's')});
        break;
    case FAKE_BAD_BATCH_BIN_NAME_32:
        r->ops.push_back({std::string(32, 'b'), 1, std::string(8, '\0')});
        break;
    case FAKE_BAD_BATCH_PARTICLE_TYPE:
        r->ops.push_back({"bad", 99, "xyz"});
        break;
    case FAKE_BAD_BATCH_INT_TOO_LONG:
        r->ops.push_back({"big", 1, std::string(9, '\1')});
        break;
    default:
        break;
    }
}

// Damage made to the record's bytes.
void damage_bytes(encoded *e, fake_bad_batch bad)
{
    std::string &b = e->bytes;
    switch (bad) {
    case FAKE_BAD_BATCH_HEADER_SZ:
        b[0] = 30;
        break;
    case FAKE_BAD_BATCH_FIELD_PAST_BODY:
        be_set(&b, e->field_at[0], 1000, 4);
        break;
    case FAKE_BAD_BATCH_FIELD_ZERO:
        be_set(&b, e->field_at[0], 0, 4);
        break;
    case FAKE_BAD_BATCH_FIELD_COUNT:
        be_set(&b, 18, 1000, 2);
        break;
    case FAKE_BAD_BATCH_OP_PAST_BODY:
        be_set(&b, e->op_at.back(), 1000, 4);
        break;
    case FAKE_BAD_BATCH_OP_COUNT:
        be_set(&b, 20, 65535, 2);
        break;
    case FAKE_BAD_BATCH_OP_COUNT_ONE_MORE:
        be_set(&b, 20, e->op_at.size() + 1, 2);
        break;
    case FAKE_BAD_BATCH_NEGATIVE_VALUE_LEN:
        be_set(&b, e->op_at.back(), 2, 4);
        break;
    case FAKE_BAD_BATCH_RECORD_CUT:
        b.resize(10);
        break;
    default:
        break;
    }
}

// The protocol message of a damaged record's body.
std::string damage_message(const std::string &body, fake_bad_batch bad, fake_batch_compress c)
{
    std::string inner = proto(3, body);
    std::string m;
    switch (bad) {
    case FAKE_BAD_BATCH_VERSION:
        m = frame(body, c);
        m[0] = 1;
        return m;
    case FAKE_BAD_BATCH_TYPE:
        m = frame(body, c);
        m[1] = 1;
        return m;
    case FAKE_BAD_BATCH_SIZE_PAST_END:
    case FAKE_BAD_BATCH_SIZE_FAR_PAST_END:
        m = frame(body, c);
        be_set(&m, 2, be_get(m, 2, 6) + (bad == FAKE_BAD_BATCH_SIZE_PAST_END ? 100 : 100u << 20), 6);
        return m;
    case FAKE_BAD_BATCH_HUGE_SIZE:
        m = frame(body, c);
        be_set(&m, 2, 0xFFFFFFFFFFFFull, 6);
        return m;
    case FAKE_BAD_BATCH_Z_SHORT:
        m = zmsg(inner, inner.size());
        m.resize(16 + (m.size() - 16) / 2);
        be_set(&m, 2, m.size() - 8, 6);
        return m;
    case FAKE_BAD_BATCH_Z_NO_LENGTH:
        return proto(4, std::string(5, '\0'));
    case FAKE_BAD_BATCH_Z_HUGE_ORG:
        return zmsg(inner, uint64_t(1) << 40);
    case FAKE_BAD_BATCH_Z_ORG_SZ:
        return zmsg(inner, inner.size() + 10);
    case FAKE_BAD_BATCH_Z_INNER_SIZE:
        be_set(&inner, 2, body.size() + 1, 6);
        return zmsg(inner, inner.size());
    case FAKE_BAD_BATCH_Z_INNER_TYPE:
        inner[1] = 4;
        return zmsg(inner, inner.size());
    case FAKE_BAD_BATCH_Z_TRAILING:
        m = zmsg(inner, inner.size()) + "junk";
        be_set(&m, 2, m.size() - 8, 6);
        return m;
    default:
        return frame(body, c);
    }
}

// Damage to a record's contents only (names, bin values): its sizes hold, so
// a reader can step over it and the rest of the reply follows.
bool contents_only(fake_bad_batch bad)
{
    return bad == FAKE_BAD_BATCH_NS_32 || bad == FAKE_BAD_BATCH_SET_32 || bad == FAKE_BAD_BATCH_BIN_NAME_32 ||
           bad == FAKE_BAD_BATCH_PARTICLE_TYPE || bad == FAKE_BAD_BATCH_INT_TOO_LONG;
}

bool is_batch_fault(fake_fault_kind k)
{
    return k >= FAKE_FAULT_BATCH_MID_RESULT && k <= FAKE_FAULT_BATCH_MALFORMED;
}

} // namespace

std::vector<std::string> fake_batch_digests(const std::string &digest_array)
{
    std::vector<std::string> out;
    for (size_t p = 0; p + 20 <= digest_array.size(); p += 20)
        out.push_back(digest_array.substr(p, 20));
    return out;
}

bool fake_batch_serve(const fake_batch_io &io, const fake_batch_request &rq, const fake_fault &f)
{
    const bool no_bin_data = (rq.info1 & 0x20) != 0;
    std::vector<rec> recs;
    for (const std::string &d : fake_batch_digests(rq.digest_array)) {
        rec r;
        r.fields = {{0, rq.ns}, {4, d}};
        fake_record fr;
        if (!io.lookup(rq.ns, d, &fr)) {
            r.result = 2;
            recs.push_back(r);
            continue;
        }
        r.info1 = rq.info1 & 0x20;
        r.generation = fr.generation;
        r.void_time = fr.void_time;
        if (!fr.set.empty())
            r.fields.push_back({1, fr.set});
        for (const auto &b : fr.bins) {
            bool asked = rq.bin_names.empty() ||
                         std::find(rq.bin_names.begin(), rq.bin_names.end(), b.name) != rq.bin_names.end();
            if (!no_bin_data && asked)
                r.ops.push_back(b);
        }
        recs.push_back(r);
    }

    const size_t k = static_cast<size_t>(std::max(0, f.batch_record));
    const bool hit = is_batch_fault(f.kind) && k < recs.size();
    const bool malformed = f.kind == FAKE_FAULT_BATCH_MALFORMED && hit && !contents_only(f.bad_batch);
    bool client_must_close = hit && (f.kind == FAKE_FAULT_BATCH_MID_RESULT || malformed);
    if (hit) {
        switch (f.kind) {
        case FAKE_FAULT_BATCH_MID_RESULT:
            recs[k].result = static_cast<uint8_t>(f.result_code);
            recs[k].ops.clear();
            break;
        case FAKE_FAULT_BATCH_NO_DIGEST:
            drop_field(&recs[k], 4); // a reader leaves it out and reads on
            break;
        case FAKE_FAULT_BATCH_NO_NAMESPACE:
            drop_field(&recs[k], 0);
            break;
        case FAKE_FAULT_BATCH_OTHER_NAMESPACE:
            set_field(&recs[k], 0, "other");
            break;
        case FAKE_FAULT_BATCH_NO_SET:
            drop_field(&recs[k], 1);
            break;
        case FAKE_FAULT_BATCH_EXTRA_RECORD:
            recs.insert(recs.begin() + static_cast<long>(k) + 1, recs[k]);
            break;
        case FAKE_FAULT_BATCH_MALFORMED:
            damage_record(&recs[k], f.bad_batch);
            break;
        default:
            break;
        }
    }
    if (f.kind == FAKE_FAULT_RESULT_CODE) {
        rec r;
        r.result = static_cast<uint8_t>(f.result_code);
        recs = {r};
    }

    // The records that go out, and whether the reply is whole.
    size_t n_send = recs.size();
    bool whole = true;
    if (f.kind == FAKE_FAULT_SILENT || (f.kind == FAKE_FAULT_BATCH_SILENT_AFTER && hit)) {
        n_send = f.kind == FAKE_FAULT_SILENT ? 0 : k;
        whole = false;
    }
    std::vector<encoded> enc;
    for (size_t i = 0; i < n_send; i++)
        enc.push_back(encode(recs[i]));
    if (malformed)
        damage_bytes(&enc[k], f.bad_batch);
    if (whole && !enc.empty() && !io.opts.separate_last)
        enc.back().bytes[3] = static_cast<char>(enc.back().bytes[3] | 0x01);

    // Packing: the damaged record travels alone, and nothing follows it.
    const size_t per = static_cast<size_t>(std::max(1, io.opts.per_message));
    std::vector<std::string> bodies;
    std::string cur;
    size_t in_cur = 0, bad_msg = SIZE_MAX;
    for (size_t i = 0; i < enc.size(); i++) {
        bool alone = malformed && i == k;
        if ((alone && in_cur) || in_cur == per) {
            bodies.push_back(cur);
            cur.clear();
            in_cur = 0;
        }
        cur += enc[i].bytes;
        in_cur++;
        if (alone) {
            bad_msg = bodies.size();
            break;
        }
    }
    if (in_cur)
        bodies.push_back(cur);
    if (whole && io.opts.separate_last && !malformed) {
        rec last;
        last.info3 = 0x01;
        bodies.push_back(encode(last).bytes);
    }
    std::string all;
    for (size_t i = 0; i < bodies.size(); i++)
        all += i == bad_msg ? damage_message(bodies[i], f.bad_batch, io.opts.compress) : frame(bodies[i], io.opts.compress);

    switch (f.kind) {
    case FAKE_FAULT_CLOSE_AFTER_REQUEST:
        return false;
    case FAKE_FAULT_RESET:
        io.reset();
        return false;
    case FAKE_FAULT_CLOSE_MID_REPLY:
        io.send(all.substr(0, all.size() / 2));
        return false;
    case FAKE_FAULT_DELAY:
        if (!io.pause(f.delay_ms))
            return false;
        break;
    case FAKE_FAULT_SPLIT: {
        size_t pieces = f.pieces > 0 ? static_cast<size_t>(f.pieces) : 1;
        size_t step = (all.size() + pieces - 1) / pieces;
        for (size_t off = 0; off < all.size(); off += step) {
            if (off && !io.pause(f.pause_ms))
                return false;
            if (!io.send(all.substr(off, step)))
                return false;
        }
        return true;
    }
    default:
        break;
    }
    if (!all.empty() && !io.send(all))
        return false;
    if (!whole || client_must_close) {
        if (malformed && (f.bad_batch == FAKE_BAD_BATCH_SIZE_PAST_END || f.bad_batch == FAKE_BAD_BATCH_SIZE_FAR_PAST_END))
            io.half_close(); // the promised bytes never come
        io.hold_until_close();
        return false;
    }
    return true;
}
