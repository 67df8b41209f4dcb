#include "vadrel_guardrail/engine/phrase_matcher.hpp"

#include <algorithm>
#include <climits>
#include <map>
#include <unordered_map>

namespace vadrel_guardrail::phrase_matching {
namespace {

constexpr std::uint32_t kMaxCodePoint = 0x10FFFF;
constexpr std::uint32_t kBmp = 0x10000;

// The rules of `re` for IGNORECASE on str patterns. A pattern character p matches a text character t when
// lower(t) == lower(p), or lower(t) lies in the extra class of lower(p) (`re._casefix`); uncased p match only
// themselves. With the extra classes closed, their members cased, and no character lowering to an uncased
// one (all checked when the rules are read), that is exactly key(t) == key(p) for
// key(c) = representative of the class of lower(c).
class CaseRules {
public:
    static const CaseRules *get() {
        // Read once, guarded by the GIL rather than a static-initialisation lock, which a thread could hold
        // while the import below lets another thread take the GIL. Kept for the process.
        static bool done = false;
        static const CaseRules *rules = nullptr;
        if (!done) {
            rules = read();
            done = true;
        }
        return rules;
    }

    std::uint32_t key(std::uint32_t c) const { return c < kBmp ? bmp_key_[c] : slow_key(c); }
    bool word(std::uint32_t c) const { return c < kBmp ? bmp_word_[c] != 0 : slow_word(c); }
    // The tables for the basic multilingual plane, for loops that read them directly.
    const std::uint32_t *bmp_keys() const { return bmp_key_.data(); }
    const std::uint8_t *bmp_words() const { return bmp_word_.data(); }
    // Word flag in bit 0 and the key's low byte in bits 8-15: one load per character for the filter.
    const std::uint16_t *bmp_packed() const { return bmp_packed_.data(); }
    static std::uint16_t pack(bool word, std::uint32_t key) {
        return static_cast<std::uint16_t>((word ? 1u : 0u) | ((key & 0xFFu) << 8));
    }

private:
    static bool word_of(std::uint32_t c) { return c == '_' || Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)); }
    static std::uint32_t lower_of(std::uint32_t c) { return Py_UNICODE_TOLOWER(static_cast<Py_UCS4>(c)); }
    static bool cased(std::uint32_t c) {
        return Py_UNICODE_TOLOWER(static_cast<Py_UCS4>(c)) != c || Py_UNICODE_TOUPPER(static_cast<Py_UCS4>(c)) != c;
    }

    std::uint32_t canon(std::uint32_t c) const {
        auto found = canon_.find(c);
        return found == canon_.end() ? c : found->second;
    }
    std::uint32_t slow_key(std::uint32_t c) const { return canon(lower_of(c)); }
    static bool slow_word(std::uint32_t c) { return word_of(c); }

    static const CaseRules *read() {
        auto *rules = new CaseRules();
        if (!rules->read_extra_classes() || !rules->check_lowering()) {
            delete rules;
            return nullptr;
        }
        rules->bmp_key_.resize(kBmp);
        rules->bmp_word_.resize(kBmp);
        rules->bmp_packed_.resize(kBmp);
        for (std::uint32_t c = 0; c < kBmp; ++c) {
            rules->bmp_key_[c] = rules->slow_key(c);
            rules->bmp_word_[c] = word_of(c) ? 1 : 0;
            rules->bmp_packed_[c] = pack(word_of(c), rules->bmp_key_[c]);
        }
        return rules;
    }

    // `re._casefix._EXTRA_CASES`: lower-case character -> the other lower-case characters of its class.
    bool read_extra_classes() {
        PyObject *module = PyImport_ImportModule("re._casefix");
        if (!module) {
            PyErr_Clear();
            return false;
        }
        PyObject *table = PyObject_GetAttrString(module, "_EXTRA_CASES");
        Py_DECREF(module);
        if (!table || !PyDict_Check(table)) {
            Py_XDECREF(table);
            PyErr_Clear();
            return false;
        }
        std::map<std::uint32_t, std::vector<std::uint32_t>> classes;
        bool ok = true;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (ok && PyDict_Next(table, &pos, &k, &v)) {
            long key = PyLong_AsLong(k);
            PyObject *seq = key < 0 ? nullptr : PySequence_Fast(v, "");
            if (!seq) {
                ok = false;
                break;
            }
            std::vector<std::uint32_t> members{static_cast<std::uint32_t>(key)};
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
                long member = PyLong_AsLong(PySequence_Fast_GET_ITEM(seq, i));
                if (member < 0) {
                    ok = false;  // no further C-API call with the error set
                    break;
                }
                members.push_back(static_cast<std::uint32_t>(member));
            }
            Py_DECREF(seq);
            std::sort(members.begin(), members.end());
            classes[static_cast<std::uint32_t>(key)] = std::move(members);
        }
        Py_DECREF(table);
        if (!ok) {
            PyErr_Clear();
            return false;
        }
        // Each member must name the same class, be cased and be its own lower case; else keys would not
        // reproduce `re`, and the pattern itself is used instead.
        for (const auto &[key, members] : classes) {
            for (std::uint32_t member : members) {
                auto other = classes.find(member);
                if (other == classes.end() || other->second != members || !cased(member) ||
                    lower_of(member) != member || member > kMaxCodePoint) {
                    return false;
                }
            }
            canon_[key] = members.front();
        }
        return true;
    }

    // `re` compares lower(t) with the pattern's character; an uncased pattern character is compared with t
    // itself. Keys agree with that only if no character lowers to a different, uncased one.
    // Also notes the keys shared by some non-word character (U+0345 folds to a Greek letter, for one).
    bool check_lowering() {
        nonword_key_.assign(kMaxCodePoint + 1, false);
        for (std::uint32_t c = 0; c <= kMaxCodePoint; ++c) {
            std::uint32_t lo = lower_of(c);
            if (lo != c && !cased(lo)) {
                return false;
            }
            std::uint32_t k = canon(lo);
            if (k <= kMaxCodePoint && !word_of(c)) {
                nonword_key_[k] = true;
            }
        }
        return true;
    }

public:
    // Whether some non-word character has this key.
    bool nonword_key(std::uint32_t key) const { return key > kMaxCodePoint || nonword_key_[key]; }

private:
    std::unordered_map<std::uint32_t, std::uint32_t> canon_;
    std::vector<bool> nonword_key_;
    std::vector<std::uint32_t> bmp_key_;
    std::vector<std::uint8_t> bmp_word_;
    std::vector<std::uint16_t> bmp_packed_;
};

}  // namespace

std::shared_ptr<const PhraseAutomaton> PhraseAutomaton::build(const std::vector<std::u32string> &phrases) {
    const CaseRules *rules = CaseRules::get();
    if (!rules) {
        return nullptr;
    }
    // A map-based trie first, flattened into sorted edge arrays afterwards.
    struct Building {
        std::map<std::uint32_t, std::int32_t> children;
        std::int32_t terminal = -1;
    };
    std::vector<Building> trie(1);
    for (std::size_t index = 0; index < phrases.size(); ++index) {
        std::int32_t node = 0;
        for (char32_t c : phrases[index]) {
            std::uint32_t key = rules->key(static_cast<std::uint32_t>(c));
            auto found = trie[node].children.find(key);
            if (found == trie[node].children.end()) {
                trie.emplace_back();
                std::int32_t child = static_cast<std::int32_t>(trie.size() - 1);
                trie[node].children.emplace(key, child);
                node = child;
            } else {
                node = found->second;
            }
        }
        // Duplicates, and phrases equal up to case, share a node: the first in list order is the one that wins.
        if (trie[node].terminal < 0) {
            trie[node].terminal = static_cast<std::int32_t>(index);
        }
    }

    auto automaton = std::shared_ptr<PhraseAutomaton>(new PhraseAutomaton());
    automaton->nodes_.resize(trie.size());
    for (std::size_t n = 0; n < trie.size(); ++n) {
        Node &node = automaton->nodes_[n];
        node.first_edge = static_cast<std::uint32_t>(automaton->edges_.size());
        node.edge_count = static_cast<std::uint32_t>(trie[n].children.size());
        node.terminal = trie[n].terminal;
        for (auto [key, child] : trie[n].children) {
            automaton->edges_.push_back({key, child});
        }
    }
    // Children always come after their parent, so one backward pass gives each subtree's best index.
    for (std::size_t n = trie.size(); n-- > 0;) {
        Node &node = automaton->nodes_[n];
        std::int32_t best = node.terminal < 0 ? INT_MAX : node.terminal;
        for (std::uint32_t e = 0; e < node.edge_count; ++e) {
            const Node &child = automaton->nodes_[automaton->edges_[node.first_edge + e].child];
            best = std::min(best, child.subtree_min < 0 ? INT_MAX : child.subtree_min);
        }
        node.subtree_min = best == INT_MAX ? -1 : best;
    }
    std::fill(std::begin(automaton->root_small_), std::end(automaton->root_small_), -1);
    const Node &root = automaton->nodes_[0];
    // Matches can then start only where a word does: no empty phrase, and no first character that some
    // non-word character of the text could match.
    automaton->word_starts_only_ = root.terminal < 0;
    // The pairs of key low bytes that can open a phrase (any second character for one-character phrases).
    automaton->opening_pairs_.assign(65536 / 64, 0);
    auto set_pair = [&](std::uint32_t first, std::uint32_t second) {
        std::uint32_t bit = ((first & 0xFFu) << 8) | (second & 0xFFu);
        automaton->opening_pairs_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    };
    for (const std::u32string &phrase : phrases) {
        if (phrase.empty()) {
            continue;
        }
        std::uint32_t first = rules->key(static_cast<std::uint32_t>(phrase[0]));
        if (rules->nonword_key(first)) {
            automaton->word_starts_only_ = false;
        }
        if (phrase.size() == 1) {
            for (std::uint32_t second = 0; second < 256; ++second) {
                set_pair(first, second);
            }
        } else {
            set_pair(first, rules->key(static_cast<std::uint32_t>(phrase[1])));
        }
    }
    for (std::uint32_t e = 0; e < root.edge_count; ++e) {
        const Edge &edge = automaton->edges_[root.first_edge + e];
        if (edge.key < 256) {
            automaton->root_small_[edge.key] = edge.child;
        }
    }
    return automaton;
}

inline std::int32_t PhraseAutomaton::step(std::int32_t node, std::uint32_t key) const {
    if (node == 0 && key < 256) {
        return root_small_[key];
    }
    const Node &n = nodes_[node];
    const Edge *first = edges_.data() + n.first_edge;
    const Edge *last = first + n.edge_count;
    if (n.edge_count <= 8) {
        for (const Edge *e = first; e != last; ++e) {
            if (e->key == key) {
                return e->child;
            }
        }
        return -1;
    }
    const Edge *e = std::lower_bound(first, last, key, [](const Edge &edge, std::uint32_t k) { return edge.key < k; });
    return e != last && e->key == key ? e->child : -1;
}

template <typename CharT>
Py_ssize_t PhraseAutomaton::match_at(const CharT *text, Py_ssize_t length, Py_ssize_t i) const {
    // At a word start: the end of the match with the smallest list index that ends on a boundary, or -1.
    const CaseRules &rules = *CaseRules::get();
    const Node *nodes = nodes_.data();
    std::int32_t best = INT_MAX;
    Py_ssize_t best_end = -1;
    std::int32_t node = 0;
    for (Py_ssize_t j = i; j < length;) {
        std::int32_t child = step(node, rules.key(static_cast<std::uint32_t>(text[j])));
        if (child < 0 || nodes[child].subtree_min >= best) {
            break;
        }
        node = child;
        ++j;
        std::int32_t terminal = nodes[node].terminal;
        if (terminal >= 0 && terminal < best &&
            rules.word(static_cast<std::uint32_t>(text[j - 1])) !=
                (j < length && rules.word(static_cast<std::uint32_t>(text[j])))) {
            best = terminal;
            best_end = j;
        }
    }
    return best_end;
}

template <typename CharT>
void PhraseAutomaton::scan_word_starts(const CharT *text, Py_ssize_t length, std::vector<Span> &out) const {
    // Candidates are word starts whose first two characters can open a phrase. They are found branch-free in
    // blocks, then tried in order; a candidate inside the previous match is skipped (matches do not overlap).
    const CaseRules &rules = *CaseRules::get();
    const std::uint16_t *packed = rules.bmp_packed();
    const std::uint64_t *pairs = opening_pairs_.data();
    auto info = [&](CharT c) -> std::uint32_t {
        if constexpr (sizeof(CharT) < 4) {
            return packed[c];
        } else {
            return c < kBmp ? packed[c]
                            : CaseRules::pack(rules.word(c), rules.key(c));
        }
    };
    constexpr Py_ssize_t kBlock = 4096;
    Py_ssize_t candidates[kBlock];
    Py_ssize_t resume = 0;
    std::uint32_t prev_word = 0;
    for (Py_ssize_t block = 0; block < length; block += kBlock) {
        Py_ssize_t block_end = std::min(length, block + kBlock);
        Py_ssize_t last = std::min(block_end, length - 1);  // the final character has no successor
        Py_ssize_t count = 0;
        std::uint32_t here = info(text[block]);
        for (Py_ssize_t i = block; i < last; ++i) {
            std::uint32_t next = info(text[i + 1]);
            std::uint32_t word = here & 1u;
            std::uint32_t bit = (here & 0xFF00u) | (next >> 8);
            std::uint32_t opens = static_cast<std::uint32_t>(pairs[bit >> 6] >> (bit & 63)) & 1u;
            candidates[count] = i;
            count += word & ~prev_word & opens;
            prev_word = word;
            here = next;
        }
        if (last < block_end) {  // the text's final character
            std::uint32_t word = here & 1u;
            candidates[count] = last;
            count += word & ~prev_word;
            prev_word = word;
        }
        for (Py_ssize_t c = 0; c < count; ++c) {
            Py_ssize_t start = candidates[c];
            if (start < resume) {
                continue;
            }
            Py_ssize_t end = match_at(text, length, start);
            if (end > start) {
                out.push_back({start, end});
                resume = end;
            }
        }
    }
}

template <typename CharT>
void PhraseAutomaton::scan(const CharT *text, Py_ssize_t length, std::vector<Span> &out) const {
    // `re` sees no word boundary at all in an empty string.
    if (length == 0 || nodes_[0].subtree_min < 0) {
        return;
    }
    if (word_starts_only_) {
        scan_word_starts(text, length, out);
        return;
    }
    const CaseRules &rules = *CaseRules::get();
    const std::uint32_t *keys = rules.bmp_keys();
    const std::uint8_t *words = rules.bmp_words();
    const Node *nodes = nodes_.data();
    const std::int32_t empty_phrase = nodes[0].terminal;
    auto word = [&](CharT c) -> bool {
        if constexpr (sizeof(CharT) < 4) {
            return words[c] != 0;
        } else {
            return c < kBmp ? words[c] != 0 : rules.word(c);
        }
    };
    auto key = [&](CharT c) -> std::uint32_t {
        if constexpr (sizeof(CharT) < 4) {
            return keys[c];
        } else {
            return c < kBmp ? keys[c] : rules.key(c);
        }
    };

    // `findall`: after an empty match the next search starts at the same place but may not match empty there.
    Py_ssize_t no_empty_at = -1;
    bool prev_word = false;  // whether the character before position i is a word character
    Py_ssize_t i = 0;
    for (;;) {
        // Matches start only at word boundaries, where the word flag changes; skip to the next one.
        while (i < length && word(text[i]) == prev_word) {
            ++i;
        }
        if (i == length && !prev_word) {
            return;  // no boundary at the end of a text that ends with a non-word character
        }
        // The smallest list index among the phrases that match here and end on a boundary wins.
        std::int32_t best = INT_MAX;
        Py_ssize_t best_end = -1;
        if (empty_phrase >= 0 && i != no_empty_at) {
            best = empty_phrase;
            best_end = i;
        }
        std::int32_t node = 0;
        for (Py_ssize_t j = i; j < length;) {
            std::int32_t child = step(node, key(text[j]));
            if (child < 0 || nodes[child].subtree_min >= best) {
                break;
            }
            node = child;
            ++j;
            std::int32_t terminal = nodes[node].terminal;
            if (terminal >= 0 && terminal < best && word(text[j - 1]) != (j < length && word(text[j]))) {
                best = terminal;
                best_end = j;
            }
        }
        if (best_end == i) {
            out.push_back({i, i});
            no_empty_at = i;  // search again here, for a non-empty match only
            continue;
        }
        if (best_end > i) {
            out.push_back({i, best_end});
            i = best_end;
            prev_word = word(text[i - 1]);
            continue;
        }
        if (i == length) {
            return;
        }
        prev_word = !prev_word;  // a boundary: the character at i has the other flag
        ++i;
    }
}

std::vector<Span> PhraseAutomaton::find_all(PyObject *text) const {
    std::vector<Span> out;
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const void *data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        scan(static_cast<const Py_UCS1 *>(data), length, out);
        break;
    case PyUnicode_2BYTE_KIND:
        scan(static_cast<const Py_UCS2 *>(data), length, out);
        break;
    default:
        scan(static_cast<const Py_UCS4 *>(data), length, out);
        break;
    }
    return out;
}

}  // namespace vadrel_guardrail::phrase_matching
