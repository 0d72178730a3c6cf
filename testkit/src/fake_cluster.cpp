// fake_cluster: nodes that answer the tend's info items from one shared
// assignment. Items are computed on each request from the current state, so
// a change is visible at once; a node's generation moves only when its own
// share (its master and prole bitmaps) changed.
#include "testkit/fake_cluster.h"
#include "fake_items.h"

#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace {

struct slot;

} // namespace

struct fake_cluster {
    fake_cluster_cfg cfg;
    std::mutex lock; // guards everything below except the fake_node objects' insides
    std::vector<std::unique_ptr<slot>> nodes;
    std::vector<int> master; // per partition, -1 none
    std::vector<int> prole;
};

namespace {

struct slot {
    fake_cluster *fc = nullptr;
    int index = 0;
    fake_node *node = nullptr; // NULL while stopped
    int port = 0;
    std::string name;
    int silent_on = -1; // fake_req_kind left unanswered, -1: none; kept over restarts
    uint32_t generation = 1;
    std::string share; // the bitmaps last answered for, to notice a change
    std::map<std::string, std::string> overrides;
    std::set<std::string> dropped;
    bool raw = false;
    std::string raw_body;
};

// Caller holds fc->lock.
std::string replicas_locked(fake_cluster *fc, int i, bool master)
{
    const std::vector<int> &who = master ? fc->master : fc->prole;
    std::vector<uint8_t> bytes = fake_bitmap(fc->cfg.n_partitions, false);
    for (uint32_t p = 0; p < fc->cfg.n_partitions; p++) {
        if (who[p] == i) {
            fake_bitmap_set(&bytes, p);
        }
    }
    return fake_replicas_value(fc->cfg.namespaces, bytes);
}

// Bumps the generation of every node whose share changed. Caller holds the lock.
void refresh_generations(fake_cluster *fc)
{
    for (auto &s : fc->nodes) {
        std::string share = replicas_locked(fc, s->index, true) + "|" + replicas_locked(fc, s->index, false);
        if (share != s->share) {
            s->share = share;
            s->generation++;
        }
    }
}

bool answer_item(void *udata, const std::string &item, std::string *value)
{
    slot *s = static_cast<slot *>(udata);
    fake_cluster *fc = s->fc;
    std::lock_guard<std::mutex> g(fc->lock);
    if (s->dropped.count(item)) {
        return false;
    }
    auto o = s->overrides.find(item);
    if (o != s->overrides.end()) {
        *value = o->second;
        return true;
    }
    if (item == "node") {
        *value = s->name;
    } else if (item == "partitions") {
        *value = std::to_string(fc->cfg.n_partitions);
    } else if (item == "partition-generation") {
        *value = std::to_string(s->generation);
    } else if (item == "services") {
        std::string out;
        for (auto &o2 : fc->nodes) {
            if (o2.get() != s && o2->node) {
                if (!out.empty()) {
                    out += ";";
                }
                out += "127.0.0.1:" + std::to_string(o2->port);
            }
        }
        *value = out;
    } else if (item == "replicas-master") {
        *value = replicas_locked(fc, s->index, true);
    } else if (item == "replicas-prole") {
        *value = replicas_locked(fc, s->index, false);
    } else if (item == "build") {
        *value = fc->cfg.build;
    } else {
        return false;
    }
    return true;
}

bool answer_raw(void *udata, const std::string &, std::string *body)
{
    slot *s = static_cast<slot *>(udata);
    std::lock_guard<std::mutex> g(s->fc->lock);
    if (!s->raw) {
        return false;
    }
    *body = s->raw_body;
    return true;
}

// Starts slot s's node on port (0: any). Caller does not hold the lock.
int start_node(slot *s, int port)
{
    fake_node *n = fake_node_create();
    fake_node_set_info_handler(n, answer_item, s);
    fake_node_set_info_raw(n, answer_raw, s);
    if (fake_node_start(n, port) != 0) {
        fake_node_destroy(n);
        return -1;
    }
    int silent_on;
    {
        std::lock_guard<std::mutex> g(s->fc->lock);
        s->node = n;
        s->port = fake_node_port(n);
        silent_on = s->silent_on;
    }
    if (silent_on >= 0) {
        fake_node_set_silent(n, true, static_cast<fake_req_kind>(silent_on));
    }
    return 0;
}

void rebalance_locked(fake_cluster *fc)
{
    std::vector<int> live;
    for (auto &s : fc->nodes) {
        if (s->node) {
            live.push_back(s->index);
        }
    }
    for (uint32_t p = 0; p < fc->cfg.n_partitions; p++) {
        if (live.empty()) {
            fc->master[p] = fc->prole[p] = -1;
            continue;
        }
        size_t l = live.size();
        fc->master[p] = live[p % l];
        fc->prole[p] = l > 1 ? live[(p + 1) % l] : -1;
    }
    refresh_generations(fc);
}

slot *slot_at(fake_cluster *fc, int i)
{
    return fc->nodes.at(static_cast<size_t>(i)).get();
}

} // namespace

fake_cluster *fake_cluster_create(const fake_cluster_cfg &cfg)
{
    fake_cluster *fc = new fake_cluster();
    fc->cfg = cfg;
    fc->master.assign(cfg.n_partitions, -1);
    fc->prole.assign(cfg.n_partitions, -1);
    for (int i = 0; i < cfg.n_nodes; i++) {
        auto s = std::make_unique<slot>();
        s->fc = fc;
        s->index = i;
        s->name = "BB9" + std::to_string(1000 + i);
        fc->nodes.push_back(std::move(s));
    }
    for (auto &s : fc->nodes) {
        size_t i = static_cast<size_t>(s->index);
        if (start_node(s.get(), i < cfg.ports.size() ? cfg.ports[i] : 0) != 0) {
            fake_cluster_destroy(fc);
            return nullptr;
        }
    }
    std::lock_guard<std::mutex> g(fc->lock);
    rebalance_locked(fc);
    return fc;
}

void fake_cluster_destroy(fake_cluster *fc)
{
    for (int i = 0; i < static_cast<int>(fc->nodes.size()); i++) {
        fake_cluster_stop_node(fc, i);
    }
    delete fc;
}

int fake_cluster_size(fake_cluster *fc)
{
    return static_cast<int>(fc->nodes.size());
}

int fake_cluster_port(fake_cluster *fc, int i)
{
    std::lock_guard<std::mutex> g(fc->lock);
    return slot_at(fc, i)->port;
}

std::string fake_cluster_node_name(fake_cluster *fc, int i)
{
    std::lock_guard<std::mutex> g(fc->lock);
    return slot_at(fc, i)->name;
}

bool fake_cluster_node_live(fake_cluster *fc, int i)
{
    std::lock_guard<std::mutex> g(fc->lock);
    return slot_at(fc, i)->node != nullptr;
}

fake_node *fake_cluster_node(fake_cluster *fc, int i)
{
    std::lock_guard<std::mutex> g(fc->lock);
    return slot_at(fc, i)->node;
}

void fake_cluster_stop_node(fake_cluster *fc, int i)
{
    fake_node *n;
    {
        std::lock_guard<std::mutex> g(fc->lock);
        n = slot_at(fc, i)->node;
        slot_at(fc, i)->node = nullptr;
    }
    // The node's threads take fc->lock to answer, so it is not held here.
    if (n) {
        fake_node_destroy_hard(n);
    }
}

int fake_cluster_restart_node(fake_cluster *fc, int i, const std::string &new_name)
{
    slot *s;
    int port;
    {
        std::lock_guard<std::mutex> g(fc->lock);
        s = slot_at(fc, i);
        if (s->node) {
            return -1;
        }
        if (!new_name.empty()) {
            s->name = new_name;
        }
        port = s->port;
    }
    return start_node(s, port);
}

void fake_cluster_silence_node(fake_cluster *fc, int i, bool silent, fake_req_kind on)
{
    fake_node *n;
    {
        std::lock_guard<std::mutex> g(fc->lock);
        slot_at(fc, i)->silent_on = silent ? static_cast<int>(on) : -1;
        n = slot_at(fc, i)->node;
    }
    if (n) {
        fake_node_set_silent(n, silent, on);
    }
}

void fake_cluster_rebalance(fake_cluster *fc)
{
    std::lock_guard<std::mutex> g(fc->lock);
    rebalance_locked(fc);
}

void fake_cluster_assign(fake_cluster *fc, uint32_t pid, int m, int r)
{
    std::lock_guard<std::mutex> g(fc->lock);
    fc->master.at(pid) = m;
    fc->prole.at(pid) = r;
    refresh_generations(fc);
}

void fake_cluster_assign_all(fake_cluster *fc, int m, int r)
{
    std::lock_guard<std::mutex> g(fc->lock);
    fc->master.assign(fc->cfg.n_partitions, m);
    fc->prole.assign(fc->cfg.n_partitions, r);
    refresh_generations(fc);
}

int fake_cluster_master(fake_cluster *fc, uint32_t pid)
{
    std::lock_guard<std::mutex> g(fc->lock);
    return fc->master.at(pid);
}

int fake_cluster_prole(fake_cluster *fc, uint32_t pid)
{
    std::lock_guard<std::mutex> g(fc->lock);
    return fc->prole.at(pid);
}

uint32_t fake_cluster_generation(fake_cluster *fc, int i)
{
    std::lock_guard<std::mutex> g(fc->lock);
    return slot_at(fc, i)->generation;
}

void fake_cluster_set_item(fake_cluster *fc, int i, const std::string &item, const std::string &value)
{
    std::lock_guard<std::mutex> g(fc->lock);
    slot_at(fc, i)->dropped.erase(item);
    slot_at(fc, i)->overrides[item] = value;
}

void fake_cluster_drop_item(fake_cluster *fc, int i, const std::string &item)
{
    std::lock_guard<std::mutex> g(fc->lock);
    slot_at(fc, i)->overrides.erase(item);
    slot_at(fc, i)->dropped.insert(item);
}

void fake_cluster_set_raw_reply(fake_cluster *fc, int i, const std::string &body)
{
    std::lock_guard<std::mutex> g(fc->lock);
    slot_at(fc, i)->raw = true;
    slot_at(fc, i)->raw_body = body;
}

void fake_cluster_clear_items(fake_cluster *fc, int i)
{
    std::lock_guard<std::mutex> g(fc->lock);
    slot *s = slot_at(fc, i);
    s->overrides.clear();
    s->dropped.clear();
    s->raw = false;
}

std::string fake_cluster_replicas(fake_cluster *fc, int i, bool master)
{
    std::lock_guard<std::mutex> g(fc->lock);
    return replicas_locked(fc, i, master);
}
