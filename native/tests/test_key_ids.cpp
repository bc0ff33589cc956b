// Keys numbered where a text is read: one key one number, new keys the next
// number, and long keys or keys past the table's limit left unnumbered.
#include <map>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/json/key_ids.hpp"

using namespace qvtok;

namespace {

// Keys that the words alone do not tell apart: one length, the same first
// and last eight bytes, a different middle.
std::vector<std::string> tricky_keys(std::mt19937_64& rng) {
    std::vector<std::string> keys = {"", "a", "ab", "ba", "abc", "acb", "user_id", "user_name", "id"};
    for (int i = 0; i < 300; ++i) {
        std::string key(rng() % 70, 'x');
        for (char& c : key) c = static_cast<char>('a' + rng() % 3);
        keys.push_back(key);
        if (key.size() > 16) {
            key[key.size() / 2] = key[key.size() / 2] == 'a' ? 'b' : 'a';
            keys.push_back(key);
        }
    }
    return keys;
}

}  // namespace

TEST(a_key_has_one_number_and_a_new_key_the_next_one) {
    std::mt19937_64 rng(8122026);
    const std::vector<std::string> pool = tricky_keys(rng);  // stays put: ids point into it
    // Runs of records that repeat one key order, now and then with one key
    // changed, between keys at random: the guess of the next key is right,
    // wrong, and made across the table's growth.
    std::vector<const std::string*> order(12);
    for (auto& key : order) key = &pool[rng() % pool.size()];
    std::vector<const std::string*> keys;
    for (int record = 0; record < 4000; ++record) {
        if (record % 7 == 0) order[rng() % order.size()] = &pool[rng() % pool.size()];
        if (record % 50 < 10) keys.push_back(&pool[rng() % pool.size()]);
        else keys.insert(keys.end(), order.begin(), order.end());
    }
    json::KeyIds ids;
    std::map<std::string, std::uint32_t> want;
    for (const std::string* k : keys) {
        const std::string& key = *k;
        const std::uint32_t id = ids.id(key);
        if (key.size() > json::KeyIds::kMaxKeyBytes) {
            CHECK_EQ(id, json::KeyIds::kNone);
            continue;
        }
        auto [at, fresh] = want.emplace(key, static_cast<std::uint32_t>(want.size()));
        CHECK_EQ(id, at->second);
        if (id != at->second) return;
    }
    CHECK(want.size() > 200);  // the table grew several times on the way
}

TEST(keys_past_the_limit_go_unnumbered_and_those_before_keep_theirs) {
    std::vector<std::string> keys;
    for (std::uint32_t i = 0; i <= json::KeyIds::kMaxIds + 10; ++i) keys.push_back("k" + std::to_string(i));
    json::KeyIds ids;
    for (std::uint32_t i = 0; i < keys.size(); ++i)
        CHECK_EQ(ids.id(keys[i]), i < json::KeyIds::kMaxIds ? i : json::KeyIds::kNone);
    CHECK_EQ(ids.id(keys[12345]), 12345u);
    CHECK_EQ(ids.id(keys.back()), json::KeyIds::kNone);
}
