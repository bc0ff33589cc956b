// Keys numbered where a text is read: one key one number, new keys the next
// number, and long keys or keys past the table's limit left unnumbered.
#include <cstdint>
#include <cstring>
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

namespace {

// The inverse of multiplying by an odd number, modulo 2^64.
std::uint64_t inverse(std::uint64_t odd) {
    std::uint64_t x = odd;
    for (int i = 0; i < 6; ++i) x *= 2 - odd * x;
    return x;
}

// `n` 16-byte keys whose hashes share their top 32 bits, and so the slot
// they start from in any table: key_hash run backwards from chosen hashes
// to the first word of each key, its second word a counter.
std::vector<std::string> colliding_keys(std::size_t n) {
    const std::uint64_t c = 0xC2B2AE3D27D4EB4Full, m1 = 0x9E3779B97F4A7C15ull, m2 = 0xFF51AFD7ED558CCDull;
    std::vector<std::string> keys;
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t h = (std::uint64_t{0x5eed} << 32) | i;
        const std::uint64_t unmixed = h * inverse(m2);
        const std::uint64_t x = (unmixed ^ (unmixed >> 29) ^ (unmixed >> 58)) * inverse(m1);
        const std::uint64_t hi = i + 1, lo = x ^ (hi * c) ^ 16;
        std::string key(16, '\0');
        std::memcpy(key.data(), &lo, 8);
        std::memcpy(key.data() + 8, &hi, 8);
        keys.push_back(key);
    }
    return keys;
}

// Numbers `keys` in turn, twice over, and checks the ids: the same key
// keeps its id, a new id is the next one. How many keys were numbered.
std::size_t number_twice(json::KeyIds& ids, const std::vector<std::string>& keys) {
    std::map<std::string, std::uint32_t> given;
    std::uint32_t next = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (const std::string& key : keys) {
            const std::uint32_t id = ids.id(key);
            if (id == json::KeyIds::kNone) continue;
            auto [at, fresh] = given.emplace(key, id);
            if (fresh) CHECK_EQ(id, next++);
            else CHECK_EQ(id, at->second);
        }
    }
    return given.size();
}

}  // namespace

TEST(keys_made_to_collide_cost_no_more_than_ordinary_ones) {
    constexpr std::size_t n = 16000;
    const std::vector<std::string> crafted = colliding_keys(n);
    for (const std::string& key : crafted) {
        // Else the keys no longer collide, and this checks nothing.
        CHECK_EQ(json::key_hash(json::words_of(key), key.size()) >> 32, std::uint64_t{0x5eed});
    }
    std::vector<std::string> ordinary;
    for (std::size_t i = 0; i < n; ++i) ordinary.push_back("ordinary_key_" + std::to_string(i));

    json::KeyIds plain;
    CHECK_EQ(number_twice(plain, ordinary), n);
    json::KeyIds attacked;
    const std::size_t numbered = number_twice(attacked, crafted);
    CHECK(numbered > 0 && numbered <= json::KeyIds::kMaxProbes);
    // Each call looks at no more than kMaxProbes slots: the 64,000 calls
    // above would look at some 128 million in a table without the bound.
    CHECK(attacked.probes() <= 2 * n * json::KeyIds::kMaxProbes);
    // Ordinary keys met among them are numbered as ever, through the
    // table's growth, but for the few that start where the crafted ones
    // crowd.
    json::KeyIds mixed;
    std::vector<std::string> both;
    for (std::size_t i = 0; i < n; ++i) {
        both.push_back(crafted[i]);
        both.push_back(ordinary[i]);
    }
    number_twice(mixed, both);
    std::size_t unnumbered = 0;
    for (const std::string& key : ordinary) unnumbered += mixed.id(key) == json::KeyIds::kNone;
    CHECK(unnumbered <= json::KeyIds::kMaxProbes);
}
