// Building a `PhraseAutomaton` from the lower-cased phrases, one stage after another.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "vadrel_guardrail/engine/phrase_matching/ascii_block.hpp"
#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"
#include "vadrel_guardrail/engine/phrase_matching/word_filter.hpp"

namespace vadrel_guardrail::phrase_matching {

namespace {

constexpr const char *kPathNames[] = {"portable", "avx2", "avx512"};

// Whether this CPU runs the path: what the AVX2 steps use beside AVX2 itself, and what the AVX-512 steps use.
bool runs(CpuPath path) {
#if defined(__x86_64__)
    __builtin_cpu_init();
    bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
                __builtin_cpu_supports("popcnt");
    bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                  __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
                  __builtin_cpu_supports("avx512vbmi2");
    return path == CpuPath::kPortable || (path == CpuPath::kAvx2 && avx2) || (path == CpuPath::kAvx512 && avx512);
#else
    return path == CpuPath::kPortable;
#endif
}

// The path of the process once chosen: by the first build, or by a test before it.
std::optional<CpuPath> chosen;

}  // namespace

CpuPath cpu_path() {
    if (!chosen) {
        chosen = CpuPath::kPortable;
        for (CpuPath path : {CpuPath::kAvx2, CpuPath::kAvx512}) {
            chosen = runs(path) ? path : *chosen;
        }
    }
    return *chosen;
}

const char *cpu_path_name(CpuPath path) {
    return kPathNames[static_cast<int>(path)];
}

#if defined(VADREL_BUILD_TESTING)
// For the test-only module `vadrel_guardrail_testing`, which finds these by name (under the GIL). Forcing `name`
// gives 0, or 1 (no path this CPU runs) or 2 (another path is chosen already) with a message.
extern "C" [[gnu::visibility("default")]] int vadrel_phrase_use_cpu_path(const char *name, char *message,
                                                                        std::size_t size) {
    std::string runs_here;
    std::optional<CpuPath> asked;
    for (CpuPath path : {CpuPath::kPortable, CpuPath::kAvx2, CpuPath::kAvx512}) {
        runs_here += runs(path) ? (runs_here.empty() ? "" : ", ") + std::string(cpu_path_name(path)) : "";
        asked = runs(path) && std::string(name) == cpu_path_name(path) ? path : asked;
    }
    const bool refused = !asked || (chosen && *chosen != *asked);
    if (refused) {
        std::snprintf(message, size,
                      !asked ? "'%s' is no CPU path this CPU runs (it runs: %s)"
                             : "the CPU path is chosen already (%s): choose before the first engine is built",
                      !asked ? name : cpu_path_name(*chosen), runs_here.c_str());
    }
    chosen = refused ? chosen : asked;
    return refused ? (asked ? 2 : 1) : 0;
}
extern "C" [[gnu::visibility("default")]] const char *vadrel_phrase_cpu_path() { return cpu_path_name(cpu_path()); }
#endif

class Builder {
public:
    Builder(PhraseAutomaton &automaton, const CaseRules &rules, const std::vector<std::u32string> &phrases)
        : a_(automaton), rules_(rules), phrases_(phrases) {}

    bool run() {
        a_.rules_ = &rules_;
        a_.phrases_ = phrases_;
        // Telling a match compares only the places whose class has more than one lower case (all past the 64th).
        for (const auto &phrase : phrases_) {
            std::uint64_t places = 0;
            for (std::size_t k = 0; k < phrase.size(); ++k) {
                places |= k >= 64 ? ~std::uint64_t{0} : std::uint64_t{!rules_.sole_lower(phrase[k])} << k;
            }
            a_.compared_.push_back(places);
        }
        std::size_t longest = 0;
        for (const auto &phrase : phrases_) {
            longest = std::max(longest, phrase.size());
        }
        // A word look-up reads up to `kJumpWord` characters and three after; a walk the longest phrase and one.
        a_.reach_ = static_cast<Py_ssize_t>(std::max<std::size_t>(longest, PhraseAutomaton::kJumpWord) + 4);
        a_.longest_ = static_cast<Py_ssize_t>(longest);
        if (!assign_classes() || !build_trie()) {
            return false;
        }
        class_pages();
        order_breadth_first();
        lay_out_nodes();
        subtree_minima();
        failure_links();
        // Word jumps pay off once the upper levels are busy, or at once for wide characters (walked through the
        // class pages); class numbers must fit a byte.
        constexpr std::size_t kJumpsFrom = 64;
        bool wide = std::ranges::any_of(phrases_, [](const std::u32string &phrase) {
            return std::ranges::any_of(phrase, [](char32_t c) { return c >= 128; });
        });
        if ((phrases_.size() >= kJumpsFrom || wide) && a_.class_count_ <= 256) {
            find_word_ends();
            word_jumps();
            word_filter();
        }
        opening_pairs();
        return true;
    }

private:
    // A trie node while building: its edges are `edges_[first, first + count)`.
    struct Building {
        std::int32_t terminal = -1;
        std::uint32_t first = 0;
        std::uint32_t count = 0;
    };
    using Edge = std::pair<std::uint16_t, std::int32_t>;  // class, child
    std::span<Edge> children(std::int32_t node) {
        return {edges_.data() + trie_[node].first, trie_[node].count};
    }
    std::span<const Edge> children(std::int32_t node) const {
        return {edges_.data() + trie_[node].first, trie_[node].count};
    }
    // A path of word characters from where a word can start (the root, or after a non-word character) to where
    // one can end.
    struct Path {
        std::int32_t from;  // in `trie_`
        std::int32_t node;
        std::uint32_t length;
        std::uint8_t classes[PhraseAutomaton::kJumpWord];

        // The word's key, as the scans compute it, and its hash.
        std::uint64_t key(std::uint64_t &low, std::uint64_t &high) const {
            std::uint8_t padded[PhraseAutomaton::kJumpWord] = {};
            std::memcpy(padded, classes, length);
            std::memcpy(&low, padded, 8);
            std::memcpy(&high, padded + 8, 8);
            return jump_hash(low, high, length);
        }
    };
    std::uint64_t hash_from(const Path &path, std::uint64_t &low, std::uint64_t &high) const {
        return path.key(low, high) ^ jump_from_mix(new_id_[path.from]);
    }

    // A class per key of a phrase character, after the fixed ASCII word classes; each phrase as its classes.
    bool assign_classes() {
        // By key: a row for the plane's keys (0: none yet, which no class of a phrase character is), a map beyond.
        std::vector<std::uint16_t> class_of_bmp_key(kBmp, 0);
        std::unordered_map<std::uint32_t, std::uint16_t> class_of_other_key;
        auto class_of_key = [&](std::uint32_t key) -> std::uint16_t & {
            return key < kBmp ? class_of_bmp_key[key] : class_of_other_key[key];
        };
        key_of_class_.assign(kAsciiClasses, 0);
        for (std::uint32_t c = 1; c < 128; ++c) {
            if (std::uint32_t cls = ascii_class(c); cls != 0) {
                if (rules_.key(c) != (c | ((c >= 'A' && c <= 'Z') ? 0x20u : 0u))) {
                    return false;  // the fixed ASCII classes assume that ASCII keys are lower-case ASCII
                }
                key_of_class_[cls] = rules_.key(c);
                class_of_key(rules_.key(c)) = static_cast<std::uint16_t>(cls);
            }
        }
        sequences_.resize(phrases_.size());
        for (std::size_t index = 0; index < phrases_.size(); ++index) {
            sequences_[index].reserve(phrases_[index].size());
            for (char32_t c : phrases_[index]) {
                std::uint32_t key = rules_.key(static_cast<std::uint32_t>(c));
                std::uint16_t &cls = class_of_key(key);
                if (cls == 0) {
                    if (key_of_class_.size() == 0xFFFF) {
                        return false;  // more distinct characters than classes: the pattern does the work
                    }
                    cls = static_cast<std::uint16_t>(key_of_class_.size());
                    key_of_class_.push_back(key);
                }
                sequences_[index].push_back(cls);
            }
        }
        a_.class_count_ = static_cast<std::uint32_t>(key_of_class_.size());
        return true;
    }

    // The class of every character: pages of the plane (page 0, all class 0, stands for every page without a
    // phrase character), a byte per character when classes fit one, and keys beyond.
    void class_pages() {
        a_.pages_.assign(256, 0);
        for (std::uint32_t cls = 1; cls < a_.class_count_; ++cls) {
            std::uint32_t key = key_of_class_[cls];
            if (key >= kBmp) {
                a_.class_of_key_.emplace(key, static_cast<std::uint16_t>(cls));
                continue;
            }
            for (const std::uint16_t *c = rules_.chars_begin(key); c != rules_.chars_end(key); ++c) {
                std::uint32_t page = *c >> 8;
                if (a_.page_of_[page] == 0) {
                    a_.page_of_[page] = static_cast<std::uint32_t>(a_.pages_.size());
                    a_.pages_.resize(a_.pages_.size() + 256, 0);
                }
                a_.pages_[a_.page_of_[page] + (*c & 0xFF)] = static_cast<std::uint16_t>(cls);
            }
        }
        // Characters beyond the plane are looked up by key; keys of the plane can be theirs too.
        for (std::uint32_t cls = 1; cls < a_.class_count_; ++cls) {
            a_.class_of_key_.emplace(key_of_class_[cls], static_cast<std::uint16_t>(cls));
        }
        for (std::uint32_t c = 0; c < 256; ++c) {
            a_.latin1_class_[c] = a_.pages_[a_.page_of_[0] + c];
        }
        if (a_.class_count_ <= 256) {  // one load per character instead of two
            a_.bmp_class_.resize(kBmp);
            for (std::uint32_t c = 0; c < kBmp; ++c) {
                a_.bmp_class_[c] = static_cast<std::uint8_t>(a_.pages_[a_.page_of_[c >> 8] + (c & 0xFF)]);
            }
        }
    }

    // The nodes with their parents and classes, children through lists of siblings (the root's through a row),
    // no allocation per node; then the edges by parent in one array.
    bool build_trie() {
        std::size_t most = 1;
        for (const auto &sequence : sequences_) {
            most += sequence.size();
        }
        std::vector<std::int32_t> parent(1, -1), first_child(1, -1), sibling(1, -1);
        std::vector<std::uint16_t> class_in(1, 0);
        for (auto *v : {&parent, &first_child, &sibling}) {
            v->reserve(most);
        }
        class_in.reserve(most);
        std::vector<std::int32_t> root_child(a_.class_count_, -1);
        trie_.assign(1, Building{});
        trie_.reserve(most);
        for (std::size_t index = 0; index < phrases_.size(); ++index) {
            std::int32_t node = 0;
            for (std::uint16_t cls : sequences_[index]) {
                std::int32_t child = node == 0 ? root_child[cls] : first_child[node];
                while (node != 0 && child >= 0 && class_in[child] != cls) {
                    child = sibling[child];
                }
                if (child < 0) {
                    child = static_cast<std::int32_t>(trie_.size());
                    trie_.emplace_back();
                    parent.push_back(node);
                    class_in.push_back(cls);
                    first_child.push_back(-1);
                    sibling.push_back(node == 0 ? -1 : first_child[node]);
                    (node == 0 ? root_child[cls] : first_child[node]) = child;
                    ++trie_[node].count;
                }
                node = child;
            }
            // Duplicates, and phrases equal up to case, share a node: the first in list order is the one that wins.
            Building &end = trie_[node];
            if (end.terminal < 0) {
                end.terminal = static_cast<std::int32_t>(index);
            }
            auto &texts = texts_at_[node];
            if (std::none_of(texts.begin(), texts.end(),
                             [&](std::int32_t other) { return phrases_[other] == phrases_[index]; })) {
                texts.push_back(static_cast<std::int32_t>(index));
            }
        }
        // Each node's edges in the order its children were made.
        std::uint32_t at = 0;
        for (Building &b : trie_) {
            b.first = at;
            at += b.count;
            b.count = 0;
        }
        edges_.resize(at);
        for (std::size_t child = 1; child < trie_.size(); ++child) {
            Building &b = trie_[parent[child]];
            edges_[b.first + b.count++] = {class_in[child], static_cast<std::int32_t>(child)};
        }
        return trie_.size() < static_cast<std::size_t>(PhraseAutomaton::kEnds);
    }

    // Breadth-first order keeps the busy upper levels together; children sorted by class.
    void order_breadth_first() {
        order_.assign(1, 0);
        new_id_.assign(trie_.size(), -1);
        new_id_[0] = 0;
        for (std::size_t head = 0; head < order_.size(); ++head) {
            auto edges = children(order_[head]);
            std::sort(edges.begin(), edges.end());
            for (auto [cls, child] : edges) {
                new_id_[child] = static_cast<std::int32_t>(order_.size());
                order_.push_back(child);
            }
        }
    }

    // The nodes in that order: dense rows for the upper levels (a budget that keeps them in cache), edge lists
    // below; each node's phrases of different text.
    void lay_out_nodes() {
        constexpr std::size_t kDenseBudget = 1 << 17;  // entries
        a_.dense_nodes_ =
            static_cast<std::int32_t>(std::clamp<std::size_t>(kDenseBudget / a_.class_count_, 1, order_.size()));
        a_.dense_.assign(static_cast<std::size_t>(a_.dense_nodes_) * a_.class_count_, -1);
        auto child_id = [&](std::int32_t child) {
            return new_id_[child] | (trie_[child].terminal >= 0 ? PhraseAutomaton::kEnds : 0);
        };
        a_.nodes_.resize(trie_.size());
        a_.edge_class_.reserve(edges_.size());
        a_.edge_child_.reserve(edges_.size());
        a_.texts_begin_.assign(trie_.size() + 1, 0);
        for (std::size_t n = 0; n < order_.size(); ++n) {
            const Building &b = trie_[order_[n]];
            PhraseAutomaton::Node &node = a_.nodes_[n];
            node.terminal = b.terminal;
            if (static_cast<std::int32_t>(n) < a_.dense_nodes_) {
                for (auto [cls, child] : children(order_[n])) {
                    a_.dense_[n * a_.class_count_ + cls] = child_id(child);
                }
            } else {
                node.count = b.count;
                node.first = static_cast<std::uint32_t>(a_.edge_class_.size());
                for (auto [cls, child] : children(order_[n])) {
                    a_.edge_class_.push_back(cls);
                    a_.edge_child_.push_back(child_id(child));
                }
            }
            std::uint32_t texts = 0;
            if (b.terminal >= 0) {
                const auto &ending = texts_at_.at(order_[n]);
                a_.texts_.insert(a_.texts_.end(), ending.begin(), ending.end());
                texts = static_cast<std::uint32_t>(ending.size());
            }
            a_.texts_begin_[n + 1] = a_.texts_begin_[n] + texts;
        }
    }

    // Children come after their parent, so one backward pass gives each subtree's best index.
    void subtree_minima() {
        for (std::size_t n = order_.size(); n-- > 0;) {
            std::int32_t best = a_.nodes_[n].terminal < 0 ? INT_MAX : a_.nodes_[n].terminal;
            for (auto [cls, child] : children(order_[n])) {
                std::int32_t below = a_.nodes_[new_id_[child]].subtree_min;
                best = std::min(best, below < 0 ? INT_MAX : below);
            }
            a_.nodes_[n].subtree_min = best == INT_MAX ? -1 : best;
        }
    }

    // Aho–Corasick's failure and output links, breadth-first so that a node's link is known before its children's.
    void failure_links() {
        std::size_t count = order_.size();
        a_.depth_.assign(count, 0);
        a_.fail_.assign(count, 0);
        a_.output_.assign(count, -1);
        for (std::size_t n = 0; n < count; ++n) {
            for (auto [cls, child] : children(order_[n])) {
                std::int32_t c = new_id_[child];
                a_.depth_[c] = a_.depth_[n] + 1;
                std::int32_t link = 0;
                if (n != 0) {
                    link = a_.fail_[n];
                    std::int32_t next;
                    while ((next = a_.step(link, cls)) < 0 && link != 0) {
                        link = a_.fail_[link];
                    }
                    link = next < 0 ? 0 : next & ~PhraseAutomaton::kEnds;
                }
                a_.fail_[c] = link;
                a_.output_[c] = a_.nodes_[link].terminal >= 0 ? link : a_.output_[link];
            }
        }
    }

    // The paths of up to `kJumpWord` word characters that end where a phrase ends, or goes on with a non-word one.
    void find_word_ends() {
        std::vector<bool> word_class(a_.class_count_, false), nonword_class(a_.class_count_, false);
        for (std::uint32_t cls = 1; cls < a_.class_count_; ++cls) {
            std::uint32_t key = key_of_class_[cls];
            nonword_class[cls] = rules_.nonword_key(key);
            if (key >= kBmp) {
                word_class[cls] = true;  // a wasted entry at worst
                continue;
            }
            for (const std::uint16_t *c = rules_.chars_begin(key); c != rules_.chars_end(key); ++c) {
                word_class[cls] = word_class[cls] || rules_.word(*c);
            }
        }
        // Words start at the root, and inside phrases after a character that is not a word character.
        std::vector<Path> stack{{0, 0, 0, {}}};
        for (auto [cls, child] : edges_) {
            if (nonword_class[cls]) {
                stack.push_back({child, child, 0, {}});
            }
        }
        while (!stack.empty()) {
            Path path = stack.back();
            stack.pop_back();
            const Building &b = trie_[path.node];
            bool word_end = b.terminal >= 0;
            for (auto [cls, child] : children(path.node)) {
                word_end = word_end || nonword_class[cls];
                if (word_class[cls] && path.length < PhraseAutomaton::kJumpWord) {
                    Path next = path;
                    next.node = child;
                    next.classes[next.length++] = static_cast<std::uint8_t>(cls);
                    stack.push_back(next);
                }
            }
            if (path.length > 0 && word_end) {
                word_ends_.push_back(path);
            }
        }
    }

    // Calls `each(first, second, third)` for the classes of every three characters that go on from `node`;
    // true when a phrase ends at the node or within two characters further, so that any characters may follow.
    template <typename Each>
    bool for_each_follow(std::int32_t node, Each &&each) const {
        const Building &end = trie_[node];
        bool open = end.terminal >= 0;
        for (auto [first, next] : children(node)) {
            open = open || trie_[next].terminal >= 0;
            for (auto [second, after] : children(next)) {
                open = open || trie_[after].terminal >= 0;
                for (auto [third, unused] : children(after)) {
                    each(first, second, third);
                }
            }
        }
        return open;
    }

    // The jump table, from each word's key to the node it leads to; and the pair filter of the look-ups inside
    // walks, a bit per (node, word) pair.
    void word_jumps() {
        // Sparse, so that a miss mostly ends at the first slot.
        const std::size_t slots = std::size_t{1} << index_bits(4 * word_ends_.size(), 4, 63);
        a_.jumps_.assign(slots, PhraseAutomaton::Jump{});
        a_.jump_tags_.assign(slots, 0);
        // About 16 bits a pair, within the first-level cache's reach for long lists.
        const unsigned pair_bits = index_bits(16 * word_ends_.size(), 12, 18);
        a_.pair_shift_ = 64 - pair_bits;
        a_.pair_filter_.assign((std::size_t{1} << pair_bits) / 64, 0);
        for (const Path &path : word_ends_) {
            std::uint64_t low, high;
            std::uint64_t hash = hash_from(path, low, high);
            set_bit(a_.pair_filter_.data(), a_.pair_bit(hash));
            std::size_t slot = hash & (slots - 1);
            while (a_.jump_tags_[slot] != 0) {
                slot = (slot + 1) & (slots - 1);
            }
            a_.jump_tags_[slot] = jump_tag(hash);
            PhraseAutomaton::Jump &jump = a_.jumps_[slot];
            jump.low = low;
            jump.high = high;
            jump.node = new_id_[path.node];
            jump.from = new_id_[path.from];
            jump.length = path.length;
            bool open = for_each_follow(path.node, [&](std::uint32_t first, std::uint32_t second, std::uint32_t third) {
                set_bit(jump.follows, follow_bit(first, second, third));
            });
            if (open) {
                std::fill(std::begin(jump.follows), std::end(jump.follows), ~std::uint64_t{0});
            }
        }
        a_.jump_mask_ = slots - 1;
        a_.use_jumps_ = true;
    }

    // The word filter: a bit per (word, three characters after it) that can go on to a match, and per word that
    // needs none; sparse, so that most other words find their bit clear.
    void word_filter() {
        for (std::uint32_t cls = 0; cls < a_.class_count_; ++cls) {
            bool ascii_nonword = cls >= kAsciiClasses && key_of_class_[cls] < 128;
            a_.coarse_class_[cls] = static_cast<std::uint8_t>(ascii_nonword ? 0 : cls);
        }
        std::vector<std::uint32_t> follows_of;
        std::vector<std::pair<std::uint64_t, std::uint32_t>> bits;
        for (const Path &path : word_ends_) {
            if (path.from != 0) {
                continue;  // the filter serves the scan's look-ups, from the root
            }
            std::uint64_t low, high;
            std::uint64_t hash = path.key(low, high);
            follows_of.clear();
            bool open = for_each_follow(path.node, [&](std::uint32_t first, std::uint32_t second, std::uint32_t third) {
                follows_of.push_back(follows_key(a_.coarse_class_, first, second, third));
            });
            if (open) {
                bits.emplace_back(hash, 0);
            } else {
                for (std::uint32_t follows : follows_of) {
                    bits.emplace_back(hash, follows);
                }
            }
        }
        const unsigned filter_bits = index_bits(32 * bits.size(), 16, 24);
        a_.follow_shift_ = 64 - filter_bits;
        a_.follow_filter_.assign((std::size_t{1} << filter_bits) / 64, 0);
        for (auto [hash, follows] : bits) {
            set_bit(a_.follow_filter_.data(), follow_index(hash, follows, a_.follow_shift_));
        }
    }

    // Whether matches start only at words, or at a non-ASCII non-word character after one (no empty phrase, no
    // first character that an ASCII non-word one matches); the pairs of class low bytes that open a phrase.
    void opening_pairs() {
        a_.word_starts_only_ = a_.nodes_[0].terminal < 0;
        a_.nonword_opening_.assign(a_.class_count_, 0);
        a_.opening_pairs_.assign(65536 / 64, 0);
        auto set_pair = [&](std::uint32_t first, std::uint32_t second) {
            set_bit(a_.opening_pairs_.data(), ((first & 0xFFu) << 8) | (second & 0xFFu));
        };
        for (std::size_t index = 0; index < phrases_.size(); ++index) {
            const std::u32string &phrase = phrases_[index];
            if (phrase.empty()) {
                continue;
            }
            const auto &classes = sequences_[index];
            if (rules_.nonword_key(rules_.key(static_cast<std::uint32_t>(phrase[0])))) {
                a_.nonword_opening_[classes[0]] = 1;
                a_.nonword_openings_ = true;
            }
            if (classes.size() == 1) {
                for (std::uint32_t second = 0; second < 256; ++second) {
                    set_pair(classes[0], second);
                }
            } else {
                set_pair(classes[0], classes[1]);
            }
        }
        for (std::uint32_t c = 0; c < 128; ++c) {
            if (!rules_.word(c) && a_.nonword_opening_[a_.latin1_class_[c]]) {
                a_.word_starts_only_ = false;  // ASCII blocks are scanned for word starts alone
            }
        }
        // The flags of the plane's characters, a byte each, for the byte-permute block step (AVX-512 only).
        static_assert(PhraseAutomaton::kOpening >> 8 == 4, "that step reads a non-word opening character as bit 2");
        const bool windows = a_.path_ == CpuPath::kAvx512;
        if (!a_.bmp_class_.empty()) {
            a_.bmp_scan_.resize(kBmp);
            a_.window_flags_.resize(windows ? kBmp : 0);
            for (std::uint32_t c = 0; c < kBmp; ++c) {
                std::uint32_t cls = a_.bmp_class_[c];
                std::uint8_t f = rules_.flags(c);
                bool opening = !(f & kWord) && a_.nonword_opening_[cls];
                a_.bmp_scan_[c] = static_cast<std::uint16_t>(cls | (f << 8) | (opening ? PhraseAutomaton::kOpening : 0));
                if (windows) {
                    a_.window_flags_[c] = static_cast<std::uint8_t>(a_.bmp_scan_[c] >> 8);
                }
            }
        }
        block_pairs();
    }

    // The opening pairs as the block scans see them in the classes that they keep.
    void block_pairs() {
        // Where many pairs open a phrase, picking words by them costs more than it saves.
        constexpr std::size_t kMostPairs = 256;
        std::size_t pairs = 0;
        for (std::uint64_t bits : a_.opening_pairs_) {
            pairs += static_cast<std::size_t>(__builtin_popcountll(bits));
        }
        if (!a_.use_jumps_ || pairs > kMostPairs) {
            return;
        }
        // A block scan may show an ASCII non-word character as class 0: a first class that opens a phrase opens
        // it with 0 too.
        a_.block_pairs_ = a_.opening_pairs_;
        for (std::uint32_t first = 0; first < 256; ++first) {
            const std::uint64_t *words = a_.opening_pairs_.data() + first * 4;
            if ((words[0] | words[1] | words[2] | words[3]) != 0) {
                a_.block_pairs_[first * 4] |= 1u;  // the pair (first, 0)
            }
        }
    }

    PhraseAutomaton &a_;
    const CaseRules &rules_;
    const std::vector<std::u32string> &phrases_;
    std::vector<std::uint32_t> key_of_class_;
    std::vector<std::vector<std::uint16_t>> sequences_;  // each phrase's classes
    std::vector<Building> trie_;
    std::vector<Edge> edges_;
    // The phrases of different text that end at each node where one ends, in list order.
    std::unordered_map<std::int32_t, std::vector<std::int32_t>> texts_at_;
    std::vector<std::int32_t> order_;   // trie nodes in breadth-first order
    std::vector<std::int32_t> new_id_;  // each trie node's place in that order
    std::vector<Path> word_ends_;
};

std::shared_ptr<const PhraseAutomaton> PhraseAutomaton::build(const std::vector<std::u32string> &phrases) {
    const CaseRules *rules = CaseRules::get();
    if (!rules) {
        return nullptr;
    }
    auto automaton = std::shared_ptr<PhraseAutomaton>(new PhraseAutomaton());
    automaton->path_ = cpu_path();
    static std::atomic<std::uint64_t> serials{0};
    do {
        automaton->serial_ = ++serials;
    } while (static_cast<std::uint32_t>(automaton->serial_) == 0);
    if (!Builder(*automaton, *rules, phrases).run()) {
        return nullptr;
    }
    automaton->build_prefilter();
    return automaton;
}

}  // namespace vadrel_guardrail::phrase_matching
