#include "vadrel_guardrail/engine/phrase_matcher.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vadrel_guardrail::phrase_matching {
namespace {

constexpr std::uint32_t kMaxCodePoint = 0x10FFFF;
constexpr std::uint32_t kBmp = 0x10000;
constexpr std::uint32_t kCapitalSigma = 0x3A3;
constexpr std::uint32_t kSmallSigma = 0x3C3;
constexpr std::uint32_t kFinalSigma = 0x3C2;

// Character flags.
constexpr std::uint8_t kWord = 1;
// `str.lower` turns the character into something that the character itself does not stand for in a scan:
// several characters, or one with another case key or word flag.
constexpr std::uint8_t kChangesWhenLowered = 2;

}  // namespace

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
    std::uint8_t flags(std::uint32_t c) const { return c < kBmp ? bmp_flags_[c] : slow_flags(c); }
    bool word(std::uint32_t c) const { return (flags(c) & kWord) != 0; }
    // Whether some non-word character has this key.
    bool nonword_key(std::uint32_t key) const { return key > kMaxCodePoint || nonword_key_[key]; }
    // The characters of the basic multilingual plane with this key (a key below 0x10000).
    const std::uint16_t *chars_begin(std::uint32_t key) const { return by_key_.data() + by_key_begin_[key]; }
    const std::uint16_t *chars_end(std::uint32_t key) const { return by_key_.data() + by_key_begin_[key + 1]; }
    static std::uint32_t lower_of(std::uint32_t c) { return Py_UNICODE_TOLOWER(static_cast<Py_UCS4>(c)); }

private:
    static bool word_of(std::uint32_t c) { return c == '_' || Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)); }
    static bool cased(std::uint32_t c) {
        return Py_UNICODE_TOLOWER(static_cast<Py_UCS4>(c)) != c || Py_UNICODE_TOUPPER(static_cast<Py_UCS4>(c)) != c;
    }

    std::uint32_t canon(std::uint32_t c) const {
        auto found = canon_.find(c);
        return found == canon_.end() ? c : found->second;
    }
    std::uint32_t slow_key(std::uint32_t c) const { return canon(lower_of(c)); }
    std::uint8_t slow_flags(std::uint32_t c) const {
        std::uint8_t f = word_of(c) ? kWord : 0;
        if (std::binary_search(astral_changing_.begin(), astral_changing_.end(), c)) {
            f |= kChangesWhenLowered;
        }
        return f;
    }

    static const CaseRules *read() {
        auto *rules = new CaseRules();
        if (!rules->read_extra_classes() || !rules->check_lowering() || !rules->fill_tables() ||
            !rules->read_full_lowering()) {
            PyErr_Clear();
            delete rules;
            return nullptr;
        }
        return rules;
    }

    // `re._casefix._EXTRA_CASES`: lower-case character -> the other lower-case characters of its class.
    bool read_extra_classes() {
        PyObject *module = PyImport_ImportModule("re._casefix");
        if (!module) {
            return false;
        }
        PyObject *table = PyObject_GetAttrString(module, "_EXTRA_CASES");
        Py_DECREF(module);
        if (!table || !PyDict_Check(table)) {
            Py_XDECREF(table);
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

    bool fill_tables() {
        bmp_key_.resize(kBmp);
        bmp_flags_.resize(kBmp);
        by_key_begin_.assign(kBmp + 1, 0);
        for (std::uint32_t c = 0; c < kBmp; ++c) {
            std::uint32_t k = slow_key(c);
            if (k >= kBmp) {
                return false;  // the class tables index keys of the plane by the key
            }
            bmp_key_[c] = k;
            bmp_flags_[c] = word_of(c) ? kWord : 0;
            ++by_key_begin_[k + 1];
        }
        for (std::uint32_t k = 0; k < kBmp; ++k) {
            by_key_begin_[k + 1] += by_key_begin_[k];
        }
        by_key_.resize(kBmp);
        std::vector<std::uint32_t> next(by_key_begin_.begin(), by_key_begin_.end() - 1);
        for (std::uint32_t c = 0; c < kBmp; ++c) {
            by_key_[next[bmp_key_[c]]++] = static_cast<std::uint16_t>(c);
        }
        // The block scan classifies ASCII characters by arithmetic.
        for (std::uint32_t c = 0; c < 128; ++c) {
            bool ascii_word = c == '_' || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
            if (ascii_word != word_of(c)) {
                return false;
            }
        }
        return true;
    }

    // Marks the characters that a scan of the text itself cannot take for their `str.lower` form: those that
    // lower-case to several characters (U+0130), to another key or word flag, or to other than their simple
    // lower case. The capital sigma is the one character whose lower case hangs on its neighbours; both of its
    // forms have its key, so only a phrase holding a sigma needs the lower-cased text (see `phrase_of_match`).
    bool read_full_lowering() {
        constexpr std::uint32_t kChunk = 4096;
        std::vector<Py_UCS4> units(kChunk);
        auto lowered_one = [&](std::uint32_t c, std::uint32_t l) {
            bool same = (c == kCapitalSigma ? (l == kSmallSigma || l == kFinalSigma) : l == lower_of(c)) &&
                        slow_key(l) == slow_key(c) && word_of(l) == word_of(c);
            if (!same) {
                mark_changing(c);
            }
        };
        for (std::uint32_t base = 0; base <= kMaxCodePoint; base += kChunk) {
            std::uint32_t n = std::min(kChunk, kMaxCodePoint + 1 - base);
            for (std::uint32_t i = 0; i < n; ++i) {
                units[i] = base + i;
            }
            PyObject *chunk = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, units.data(), n);
            PyObject *lowered = chunk ? PyObject_CallMethod(chunk, "lower", nullptr) : nullptr;
            Py_XDECREF(chunk);
            if (!lowered || !PyUnicode_Check(lowered)) {
                Py_XDECREF(lowered);
                return false;
            }
            if (PyUnicode_GET_LENGTH(lowered) == n) {
                for (std::uint32_t i = 0; i < n; ++i) {
                    lowered_one(base + i, PyUnicode_READ_CHAR(lowered, i));
                }
                Py_DECREF(lowered);
                continue;
            }
            Py_DECREF(lowered);
            for (std::uint32_t i = 0; i < n; ++i) {  // some character of the chunk grows: one at a time
                Py_UCS4 c = base + i;
                PyObject *one = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, &c, 1);
                PyObject *low = one ? PyObject_CallMethod(one, "lower", nullptr) : nullptr;
                Py_XDECREF(one);
                if (!low || !PyUnicode_Check(low)) {
                    Py_XDECREF(low);
                    return false;
                }
                if (PyUnicode_GET_LENGTH(low) != 1) {
                    mark_changing(c);
                } else {
                    lowered_one(c, PyUnicode_READ_CHAR(low, 0));
                }
                Py_DECREF(low);
            }
        }
        // The block scan takes ASCII text as it stands.
        for (std::uint32_t c = 0; c < 128; ++c) {
            if (bmp_flags_[c] & kChangesWhenLowered) {
                return false;
            }
        }
        std::sort(astral_changing_.begin(), astral_changing_.end());
        return true;
    }

    void mark_changing(std::uint32_t c) {
        if (c < kBmp) {
            bmp_flags_[c] |= kChangesWhenLowered;
        } else {
            astral_changing_.push_back(c);
        }
    }

    std::map<std::uint32_t, std::uint32_t> canon_;
    std::vector<bool> nonword_key_;
    std::vector<std::uint32_t> bmp_key_;
    std::vector<std::uint8_t> bmp_flags_;
    std::vector<std::uint32_t> by_key_begin_;  // characters of the plane grouped by key
    std::vector<std::uint16_t> by_key_;
    std::vector<std::uint32_t> astral_changing_;
};

namespace {

// Classes of the ASCII word characters, the same in every automaton: letters (either case) 1-26, digits
// 27-36, the underscore 37, so that a block scan can compute them.
constexpr std::uint32_t kAsciiClasses = 38;

inline std::uint32_t ascii_class(std::uint32_t c) {
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') {
        return (c | 0x20) - 'a' + 1;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 27;
    }
    return c == '_' ? 37 : 0;
}

#if defined(__SSE2__)
// 16 characters from `text` as bytes, when all are ASCII.
template <typename CharT>
inline bool load_ascii(const CharT *text, __m128i &v) {
    if constexpr (sizeof(CharT) == 1) {
        v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text));
        return _mm_movemask_epi8(v) == 0;
    } else if constexpr (sizeof(CharT) == 2) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + 8));
        __m128i high = _mm_and_si128(_mm_or_si128(a, b), _mm_set1_epi16(static_cast<short>(0xFF80)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) {
            return false;
        }
        v = _mm_packus_epi16(a, b);
        return true;
    } else {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + 4));
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + 8));
        __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + 12));
        __m128i all = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
        __m128i high = _mm_and_si128(all, _mm_set1_epi32(static_cast<int>(0xFFFFFF80u)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(high, _mm_setzero_si128())) != 0xFFFF) {
            return false;
        }
        v = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
        return true;
    }
}
#endif

#if defined(__SSE2__)
// The word classes of 16 ASCII characters as bytes (0 for non-word characters); `word` gets the lanes of the
// word characters. All bytes are below 0x80, so signed comparisons order them.
inline __m128i ascii_classes(__m128i v, __m128i &word) {
    __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
    __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                                   _mm_cmplt_epi8(folded, _mm_set1_epi8('z' + 1)));
    __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
    __m128i under = _mm_cmpeq_epi8(v, _mm_set1_epi8('_'));
    word = _mm_or_si128(_mm_or_si128(letter, digit), under);
    return _mm_or_si128(_mm_or_si128(_mm_and_si128(letter, _mm_sub_epi8(folded, _mm_set1_epi8('a' - 1))),
                                     _mm_and_si128(digit, _mm_sub_epi8(v, _mm_set1_epi8('0' - 27)))),
                        _mm_and_si128(under, _mm_set1_epi8(37)));
}
#endif

// The classes of 16 characters from `text` as bytes into `out` (when given), and their word characters as
// bits, when all are ASCII.
template <typename CharT>
inline bool ascii_class_block(const CharT *text, std::uint8_t *out, std::uint32_t &bits) {
#if defined(__SSE2__)
    __m128i v;
    if (!load_ascii(text, v)) {
        return false;
    }
    __m128i word;
    __m128i classes = ascii_classes(v, word);
    if (out) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), classes);
    }
    bits = static_cast<std::uint32_t>(_mm_movemask_epi8(word));
    return true;
#else
    std::uint32_t word = 0;
    for (int k = 0; k < 16; ++k) {
        std::uint32_t c = static_cast<std::uint32_t>(text[k]);
        if (c >= 0x80) {
            return false;
        }
        std::uint32_t cls = ascii_class(c);
        if (out) {
            out[k] = static_cast<std::uint8_t>(cls);
        }
        word |= static_cast<std::uint32_t>(cls != 0) << k;
    }
    bits = word;
    return true;
#endif
}

// The word characters among 16 characters from `text` as bits, when all 16 are ASCII.
template <typename CharT>
inline bool ascii_word_bits(const CharT *text, std::uint32_t &bits) {
    return ascii_class_block(text, nullptr, bits);
}

// The classes of 16 characters from `text` as bytes, the first in the lowest byte of `low`, when all are ASCII.
template <typename CharT>
inline bool ascii_word_classes(const CharT *text, std::uint64_t &low, std::uint64_t &high) {
    alignas(16) std::uint8_t out[16];
    std::uint32_t bits;
    if (!ascii_class_block(text, out, bits)) {
        return false;
    }
    low = high = 0;
    for (int k = 0; k < 8; ++k) {
        low |= static_cast<std::uint64_t>(out[k]) << (8 * k);
        high |= static_cast<std::uint64_t>(out[k + 8]) << (8 * k);
    }
    return true;
}

// Keeps the first `word_length` (1 to 16) class bytes of a key, with no branch on the length.
inline void mask_key(std::uint32_t word_length, std::uint64_t &low, std::uint64_t &high) {
    static constexpr std::uint8_t kWindow[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::uint64_t keep_low, keep_high;
    std::memcpy(&keep_low, kWindow + 16 - word_length, 8);
    std::memcpy(&keep_high, kWindow + 24 - word_length, 8);
    low &= keep_low;
    high &= keep_high;
}

// The word filter sees the characters after a word coarsely: the ASCII word classes as they are, every other
// class as 0. Block scans compute that for ASCII text directly.
inline std::uint32_t coarse_class(std::uint32_t cls) {
    return cls < kAsciiClasses ? cls : 0;
}

inline std::uint32_t follow_bit(std::uint32_t first, std::uint32_t second, std::uint32_t third) {
    return (first * 7 + second * 31 + third) & 255;
}

inline std::uint64_t jump_hash(std::uint64_t low, std::uint64_t high, std::uint32_t length) {
    std::uint64_t h = (low * 0x9E3779B97F4A7C15ull) ^ (high * 0xC2B2AE3D27D4EB4Full) ^ length;
    return h ^ (h >> 29);
}

// A bit of the word filter for a word's hash and the classes of the three characters after it (1 + the three
// classes, a byte each), or 0 for "any characters".
inline std::uint64_t follow_index(std::uint64_t hash, std::uint32_t follows, unsigned shift) {
    return ((hash + follows) * 0xD6E8FEB86659FD93ull) >> shift;
}

// The `follows` of `follow_index` for the classes of the three characters after a word.
inline std::uint32_t follows_key(std::uint32_t first, std::uint32_t second, std::uint32_t third) {
    return 1 + (coarse_class(first) | (coarse_class(second) << 8) | (coarse_class(third) << 16));
}

// Whether the word filter lets a word with `hash`, followed by `follows`, go on to its look-up.
inline bool filter_passes(const std::uint64_t *filter, unsigned shift, std::uint64_t hash, std::uint32_t follows) {
    std::uint64_t any = follow_index(hash, 0, shift);
    std::uint64_t these = follow_index(hash, follows, shift);
    return (((filter[any >> 6] >> (any & 63)) | (filter[these >> 6] >> (these & 63))) & 1u) != 0;
}

inline std::uint16_t jump_tag(std::uint64_t hash) {
    return static_cast<std::uint16_t>(hash >> 48) | 1u;
}

}  // namespace

std::shared_ptr<const PhraseAutomaton> PhraseAutomaton::build(const std::vector<std::u32string> &phrases) {
    const CaseRules *rules = CaseRules::get();
    if (!rules) {
        return nullptr;
    }
    auto automaton = std::shared_ptr<PhraseAutomaton>(new PhraseAutomaton());
    PhraseAutomaton &a = *automaton;
    a.rules_ = rules;
    a.phrases_ = phrases;

    // Classes: one per key that occurs in a phrase, numbered from 1 in order of first appearance.
    std::unordered_map<std::uint32_t, std::uint16_t> class_of_key;
    std::vector<std::uint32_t> key_of_class(kAsciiClasses, 0);
    for (std::uint32_t c = 1; c < 128; ++c) {
        if (std::uint32_t cls = ascii_class(c); cls != 0) {
            if (rules->key(c) != (c | ((c >= 'A' && c <= 'Z') ? 0x20u : 0u))) {
                return nullptr;  // the fixed ASCII classes assume that ASCII keys are lower-case ASCII
            }
            key_of_class[cls] = rules->key(c);
            class_of_key.emplace(rules->key(c), static_cast<std::uint16_t>(cls));
        }
    }
    std::vector<std::vector<std::uint16_t>> sequences(phrases.size());
    for (std::size_t index = 0; index < phrases.size(); ++index) {
        sequences[index].reserve(phrases[index].size());
        for (char32_t c : phrases[index]) {
            std::uint32_t key = rules->key(static_cast<std::uint32_t>(c));
            auto [it, added] = class_of_key.emplace(key, static_cast<std::uint16_t>(key_of_class.size()));
            if (added) {
                if (key_of_class.size() == 0xFFFF) {
                    return nullptr;  // more distinct characters than classes: the pattern does the work
                }
                key_of_class.push_back(key);
            }
            sequences[index].push_back(it->second);
        }
    }
    a.class_count_ = static_cast<std::uint32_t>(key_of_class.size());

    // The character pages: page 0 is all class 0 and stands for every page without a phrase character.
    a.pages_.assign(256, 0);
    for (std::uint32_t cls = 1; cls < a.class_count_; ++cls) {
        std::uint32_t key = key_of_class[cls];
        if (key >= kBmp) {
            a.class_of_key_.emplace(key, static_cast<std::uint16_t>(cls));
            continue;
        }
        for (const std::uint16_t *c = rules->chars_begin(key); c != rules->chars_end(key); ++c) {
            std::uint32_t page = *c >> 8;
            if (a.page_of_[page] == 0) {
                a.page_of_[page] = static_cast<std::uint32_t>(a.pages_.size());
                a.pages_.resize(a.pages_.size() + 256, 0);
            }
            a.pages_[a.page_of_[page] + (*c & 0xFF)] = static_cast<std::uint16_t>(cls);
        }
    }
    // Characters beyond the plane are looked up by key; keys of the plane can be theirs too.
    for (std::uint32_t cls = 1; cls < a.class_count_; ++cls) {
        a.class_of_key_.emplace(key_of_class[cls], static_cast<std::uint16_t>(cls));
    }

    // The trie, with small edge lists while building.
    struct Building {
        std::vector<std::pair<std::uint16_t, std::int32_t>> children;
        std::int32_t terminal = -1;
        std::vector<std::int32_t> texts;  // phrases of different text ending here, in list order
    };
    std::vector<Building> trie(1);
    for (std::size_t index = 0; index < phrases.size(); ++index) {
        std::int32_t node = 0;
        for (std::uint16_t cls : sequences[index]) {
            auto &children = trie[node].children;
            auto found = std::find_if(children.begin(), children.end(), [cls](const auto &e) { return e.first == cls; });
            if (found == children.end()) {
                std::int32_t child = static_cast<std::int32_t>(trie.size());
                trie[node].children.emplace_back(cls, child);
                trie.emplace_back();
                node = child;
            } else {
                node = found->second;
            }
        }
        // Duplicates, and phrases equal up to case, share a node: the first in list order is the one that wins.
        Building &end = trie[node];
        if (end.terminal < 0) {
            end.terminal = static_cast<std::int32_t>(index);
        }
        if (std::none_of(end.texts.begin(), end.texts.end(),
                         [&](std::int32_t other) { return phrases[other] == phrases[index]; })) {
            end.texts.push_back(static_cast<std::int32_t>(index));
        }
    }

    if (trie.size() >= static_cast<std::size_t>(kEnds)) {
        return nullptr;
    }
    // Breadth-first order keeps the busy upper levels together; children sorted by class.
    std::vector<std::int32_t> order{0};
    std::vector<std::int32_t> new_id(trie.size(), -1);
    new_id[0] = 0;
    for (std::size_t head = 0; head < order.size(); ++head) {
        auto &children = trie[order[head]].children;
        std::sort(children.begin(), children.end());
        for (auto [cls, child] : children) {
            new_id[child] = static_cast<std::int32_t>(order.size());
            order.push_back(child);
        }
    }
    // Dense rows for the upper levels, within a budget that keeps them in cache.
    constexpr std::size_t kDenseBudget = 1 << 17;  // entries
    a.dense_nodes_ = static_cast<std::int32_t>(std::clamp<std::size_t>(kDenseBudget / a.class_count_, 1, order.size()));
    a.dense_.assign(static_cast<std::size_t>(a.dense_nodes_) * a.class_count_, -1);
    auto child_id = [&](std::int32_t child) {
        return new_id[child] | (trie[child].terminal >= 0 ? kEnds : 0);
    };
    a.nodes_.resize(trie.size());
    a.texts_begin_.assign(trie.size() + 1, 0);
    for (std::size_t n = 0; n < order.size(); ++n) {
        const Building &b = trie[order[n]];
        Node &node = a.nodes_[n];
        node.terminal = b.terminal;
        if (static_cast<std::int32_t>(n) < a.dense_nodes_) {
            for (auto [cls, child] : b.children) {
                a.dense_[n * a.class_count_ + cls] = child_id(child);
            }
        } else {
            node.count = static_cast<std::uint32_t>(b.children.size());
            node.first = static_cast<std::uint32_t>(a.edge_class_.size());
            for (auto [cls, child] : b.children) {
                a.edge_class_.push_back(cls);
                a.edge_child_.push_back(child_id(child));
            }
        }
        a.texts_begin_[n + 1] = a.texts_begin_[n] + static_cast<std::uint32_t>(b.texts.size());
        a.texts_.insert(a.texts_.end(), b.texts.begin(), b.texts.end());
    }
    for (std::uint32_t c = 0; c < 256; ++c) {
        a.latin1_class_[c] = a.pages_[a.page_of_[0] + c];
    }
    if (a.class_count_ <= 256) {  // one load per character instead of two
        a.bmp_class_.resize(kBmp);
        for (std::uint32_t c = 0; c < kBmp; ++c) {
            a.bmp_class_[c] = static_cast<std::uint8_t>(a.pages_[a.page_of_[c >> 8] + (c & 0xFF)]);
        }
    }
    // Children come after their parent, so one backward pass gives each subtree's best index.
    for (std::size_t n = order.size(); n-- > 0;) {
        std::int32_t best = a.nodes_[n].terminal < 0 ? INT_MAX : a.nodes_[n].terminal;
        for (auto [cls, child] : trie[order[n]].children) {
            std::int32_t below = a.nodes_[new_id[child]].subtree_min;
            best = std::min(best, below < 0 ? INT_MAX : below);
        }
        a.nodes_[n].subtree_min = best == INT_MAX ? -1 : best;
    }

    // Word jumps pay off once the upper levels are busy; class numbers must fit a byte.
    constexpr std::size_t kJumpsFrom = 64;
    if (phrases.size() >= kJumpsFrom && a.class_count_ <= 256) {
        std::vector<bool> word_class(a.class_count_, false), nonword_class(a.class_count_, false);
        for (std::uint32_t cls = 1; cls < a.class_count_; ++cls) {
            std::uint32_t key = key_of_class[cls];
            nonword_class[cls] = rules->nonword_key(key);
            if (key >= kBmp) {
                word_class[cls] = true;  // a wasted entry at worst
                continue;
            }
            for (const std::uint16_t *c = rules->chars_begin(key); c != rules->chars_end(key); ++c) {
                word_class[cls] = word_class[cls] || rules->word(*c);
            }
        }
        struct Path {
            std::int32_t node;  // in `trie`
            std::uint32_t length;
            std::uint8_t classes[kJumpWord];
        };
        std::vector<Path> found, stack{{0, 0, {}}};
        while (!stack.empty()) {
            Path path = stack.back();
            stack.pop_back();
            const Building &b = trie[path.node];
            bool word_end = b.terminal >= 0;
            for (auto [cls, child] : b.children) {
                word_end = word_end || nonword_class[cls];
                if (word_class[cls] && path.length < kJumpWord) {
                    Path next = path;
                    next.node = child;
                    next.classes[next.length++] = static_cast<std::uint8_t>(cls);
                    stack.push_back(next);
                }
            }
            if (path.length > 0 && word_end) {
                found.push_back(path);
            }
        }
        std::size_t slots = 16;
        while (slots < 4 * found.size()) {  // sparse, so that a miss mostly ends at the first slot
            slots *= 2;
        }
        a.jumps_.assign(slots, Jump{});
        a.jump_tags_.assign(slots, 0);
        for (const Path &path : found) {
            std::uint8_t classes[kJumpWord] = {};
            std::memcpy(classes, path.classes, path.length);
            std::uint64_t low, high;
            std::memcpy(&low, classes, 8);
            std::memcpy(&high, classes + 8, 8);
            std::uint64_t hash = jump_hash(low, high, path.length);
            std::size_t slot = hash & (slots - 1);
            while (a.jump_tags_[slot] != 0) {
                slot = (slot + 1) & (slots - 1);
            }
            a.jump_tags_[slot] = jump_tag(hash);
            Jump &jump = a.jumps_[slot];
            jump.low = low;
            jump.high = high;
            jump.node = new_id[path.node];
            jump.length = path.length;
            const Building &end = trie[path.node];
            bool open = end.terminal >= 0;
            for (auto [first, next] : end.children) {
                open = open || trie[next].terminal >= 0;
                for (auto [second, after] : trie[next].children) {
                    open = open || trie[after].terminal >= 0;
                    for (auto [third, unused] : trie[after].children) {
                        std::uint32_t bit = follow_bit(first, second, third);
                        jump.follows[bit >> 6] |= std::uint64_t{1} << (bit & 63);
                    }
                }
            }
            if (open) {
                std::fill(std::begin(jump.follows), std::end(jump.follows), ~std::uint64_t{0});
            }
        }
        a.jump_mask_ = slots - 1;
        a.use_jumps_ = true;
        // The word filter: a bit per (word, three characters after it) that can go on to a match, and per word
        // that needs no such characters; sparse enough that most other words find their bit clear.
        std::vector<std::uint32_t> follows_of;
        std::vector<std::pair<std::uint64_t, std::uint32_t>> bits;
        for (const Path &path : found) {
            std::uint8_t classes[kJumpWord] = {};
            std::memcpy(classes, path.classes, path.length);
            std::uint64_t low, high;
            std::memcpy(&low, classes, 8);
            std::memcpy(&high, classes + 8, 8);
            std::uint64_t hash = jump_hash(low, high, path.length);
            const Building &end = trie[path.node];
            bool open = end.terminal >= 0;
            follows_of.clear();
            for (auto [first, next] : end.children) {
                open = open || trie[next].terminal >= 0;
                for (auto [second, after] : trie[next].children) {
                    open = open || trie[after].terminal >= 0;
                    for (auto [third, unused] : trie[after].children) {
                        follows_of.push_back(follows_key(first, second, third));
                    }
                }
            }
            if (open) {
                bits.emplace_back(hash, 0);
            } else {
                for (std::uint32_t follows : follows_of) {
                    bits.emplace_back(hash, follows);
                }
            }
        }
        unsigned filter_bits = 16;
        while ((std::size_t{1} << filter_bits) < 32 * bits.size() && filter_bits < 24) {
            ++filter_bits;
        }
        a.follow_shift_ = 64 - filter_bits;
        a.follow_filter_.assign((std::size_t{1} << filter_bits) / 64, 0);
        for (auto [hash, follows] : bits) {
            std::uint64_t bit = follow_index(hash, follows, a.follow_shift_);
            a.follow_filter_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
        }
    }

    // Matches can then start only where a word does: no empty phrase, and no first character that some
    // non-word character of the text could match.
    a.word_starts_only_ = a.nodes_[0].terminal < 0;
    // The pairs of class low bytes that can open a phrase (any second character for one-character phrases).
    a.opening_pairs_.assign(65536 / 64, 0);
    auto set_pair = [&](std::uint32_t first, std::uint32_t second) {
        std::uint32_t bit = ((first & 0xFFu) << 8) | (second & 0xFFu);
        a.opening_pairs_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    };
    for (std::size_t index = 0; index < phrases.size(); ++index) {
        const std::u32string &phrase = phrases[index];
        if (phrase.empty()) {
            continue;
        }
        if (rules->nonword_key(rules->key(static_cast<std::uint32_t>(phrase[0])))) {
            a.word_starts_only_ = false;
        }
        const auto &classes = sequences[index];
        if (classes.size() == 1) {
            for (std::uint32_t second = 0; second < 256; ++second) {
                set_pair(classes[0], second);
            }
        } else {
            set_pair(classes[0], classes[1]);
        }
    }
    return automaton;
}

template <typename CharT>
inline std::uint32_t PhraseAutomaton::class_of(CharT c) const {
    // Without a branch for the narrower widths: absent pages read the shared page of class 0.
    if constexpr (sizeof(CharT) == 1) {
        return latin1_class_[c];
    } else if constexpr (sizeof(CharT) == 2) {
        return bmp_class_.empty() ? pages_[page_of_[c >> 8] + (c & 0xFFu)] : bmp_class_[c];
    } else {
        if (c < kBmp) {
            return bmp_class_.empty() ? pages_[page_of_[c >> 8] + (c & 0xFFu)] : bmp_class_[c];
        }
        auto found = class_of_key_.find(rules_->key(c));
        return found == class_of_key_.end() ? 0 : found->second;
    }
}

// The child for a class (with kEnds), or -1.
inline std::int32_t PhraseAutomaton::step(std::int32_t node, std::uint32_t cls) const {
    if (node < dense_nodes_) {
        return dense_[static_cast<std::size_t>(node) * class_count_ + cls];
    }
    const Node &n = nodes_[node];
    const std::uint16_t *classes = edge_class_.data() + n.first;
    for (std::uint32_t e = 0; e < n.count; ++e) {
        if (classes[e] == cls) {
            return edge_child_[n.first + e];
        }
    }
    return -1;
}

template <typename CharT>
Py_ssize_t PhraseAutomaton::match_at(const CharT *text, Py_ssize_t length, Py_ssize_t i, std::int32_t &best_node) const {
    // At a word start: the end of the match with the smallest list index that ends on a boundary, or -1.
    // Until a phrase ends, only the transitions are read.
    std::int32_t node = 0;
    Py_ssize_t j = i;
    for (;;) {
        if (j == length) {
            return -1;
        }
        std::int32_t child = step(node, class_of(text[j]));
        if (child < 0) {
            return -1;
        }
        ++j;
        node = child & ~kEnds;
        if (child & kEnds) {
            break;
        }
    }
    return finish_match(text, length, node, j, best_node);
}

// From `node`, reached at `j` with no match yet: the end of the best match, or -1.
template <typename CharT>
Py_ssize_t PhraseAutomaton::finish_match(const CharT *text, Py_ssize_t length, std::int32_t node, Py_ssize_t j,
                                         std::int32_t &best_node) const {
    const CaseRules &rules = *rules_;
    const Node *nodes = nodes_.data();
    std::int32_t best = INT_MAX;
    Py_ssize_t best_end = -1;
    // A node is read only where a phrase ends, and for pruning once a match is in hand.
    bool ends = nodes[node].terminal >= 0;
    for (;;) {
        if (ends) {
            std::int32_t terminal = nodes[node].terminal;
            if (terminal < best && rules.word(static_cast<std::uint32_t>(text[j - 1])) !=
                                       (j < length && rules.word(static_cast<std::uint32_t>(text[j])))) {
                best = terminal;
                best_end = j;
                best_node = node;
            }
        }
        if (j == length) {
            break;
        }
        std::int32_t child = step(node, class_of(text[j]));
        if (child < 0 || (best != INT_MAX && nodes[child & ~kEnds].subtree_min >= best)) {
            break;
        }
        node = child & ~kEnds;
        ends = (child & kEnds) != 0;
        ++j;
    }
    return best_end;
}

// `match_at` for busy tries: the whole word at `i` in one look-up. A match cannot end inside a word (no
// boundary there), so it passes the node that the word leads to, and that node is a word end.
template <typename CharT>
bool PhraseAutomaton::word_key(const CharT *text, Py_ssize_t length, Py_ssize_t i, std::uint32_t word_length,
                               std::uint64_t &low, std::uint64_t &high) const {
    // With the word's length known (from the scan's bits), 16 characters are read without a branch each and
    // the rest masked off; a class 0 (in no phrase) then finds no entry.
    if (word_length == 0 || word_length > kJumpWord || i + kJumpWord > length) {
        return false;
    }
    low = high = 0;
    if (!ascii_word_classes(text + i, low, high)) {
        for (int k = 0; k < 8; ++k) {
            low |= static_cast<std::uint64_t>(class_of(text[i + k]) & 0xFFu) << (8 * k);
            high |= static_cast<std::uint64_t>(class_of(text[i + 8 + k]) & 0xFFu) << (8 * k);
        }
    }
    mask_key(word_length, low, high);
    return true;
}

template <typename CharT>
Py_ssize_t PhraseAutomaton::match_by_word(const CharT *text, Py_ssize_t length, Py_ssize_t i,
                                          std::uint32_t word_length, std::int32_t &best_node) const {
    // The word's classes, a byte each.
    std::uint64_t low = 0, high = 0;
    if (!word_key(text, length, i, word_length, low, high)) {
        if (word_length > kJumpWord) {
            return match_at(text, length, i, best_node);
        }
        const CaseRules &rules = *rules_;
        std::uint8_t classes[kJumpWord] = {};
        Py_ssize_t limit = std::min(length, i + kJumpWord);
        Py_ssize_t j = i;
        for (; j < limit && rules.word(static_cast<std::uint32_t>(text[j])); ++j) {
            std::uint32_t cls = class_of(text[j]);
            if (cls == 0) {
                return -1;  // in no phrase
            }
            classes[j - i] = static_cast<std::uint8_t>(cls);
        }
        if (j == limit && j < length && rules.word(static_cast<std::uint32_t>(text[j]))) {
            return match_at(text, length, i, best_node);
        }
        word_length = static_cast<std::uint32_t>(j - i);
        std::memcpy(&low, classes, 8);
        std::memcpy(&high, classes + 8, 8);
    }
    return match_word(text, length, i, word_length, low, high, jump_hash(low, high, word_length), best_node);
}

template <typename CharT>
Py_ssize_t PhraseAutomaton::match_word(const CharT *text, Py_ssize_t length, Py_ssize_t i, std::uint32_t word_length,
                                       std::uint64_t low, std::uint64_t high, std::uint64_t hash,
                                       std::int32_t &best_node) const {
    Py_ssize_t j = i + word_length;
    std::uint16_t tag = jump_tag(hash);
    for (std::size_t slot = hash & jump_mask_;; slot = (slot + 1) & jump_mask_) {
        std::uint16_t seen = jump_tags_[slot];
        if (seen == 0) {
            return -1;
        }
        if (seen != tag) {
            continue;
        }
        const Jump &jump = jumps_[slot];
        if (jump.length == word_length && jump.low == low && jump.high == high) {
            if (j + 2 < length) {
                std::uint32_t bit = follow_bit(class_of(text[j]), class_of(text[j + 1]), class_of(text[j + 2]));
                if (((jump.follows[bit >> 6] >> (bit & 63)) & 1u) == 0) {
                    return -1;  // no phrase goes on with these three characters
                }
            }
            return finish_match(text, length, jump.node, j, best_node);
        }
    }
}

template <bool kLowering, typename CharT, typename OnMatch>
bool PhraseAutomaton::scan_word_starts(const CharT *text, Py_ssize_t length, OnMatch &&on_match) const {
    // Word starts are found 64 characters at a time (by arithmetic when all are ASCII, else by table) and
    // tried in order, skipping any inside the previous match (matches do not overlap).
    const CaseRules &rules = *rules_;
    Py_ssize_t resume = 0;
    auto candidate = [&](Py_ssize_t i) -> bool {
        if (i < resume) {
            return true;
        }
        std::int32_t node = 0;
        Py_ssize_t end = use_jumps_ ? match_by_word(text, length, i, 0, node) : match_at(text, length, i, node);
        if (end > i) {
            resume = end;
            return on_match(i, end, node);
        }
        return true;
    };
    auto flags_of = [&](CharT c) -> std::uint8_t { return rules.flags(static_cast<std::uint32_t>(c)); };
    const std::uint64_t *pairs = opening_pairs_.data();

    std::uint64_t prev_word = 0;
    Py_ssize_t i = 0;
    for (; i + 64 <= length; i += 64) {
        // With word look-ups, the classes of the block and of the 16 characters after it (when there are as many)
        // are kept, a byte each: the words' keys and the characters after them are read from there.
        alignas(16) std::uint8_t block_classes[80];
        const bool keep_classes = use_jumps_ && i + 80 <= length;
        std::uint64_t bits = 0;
        for (int block = 0; block < 64; block += 16) {
            std::uint32_t part;
            if (!(keep_classes ? ascii_class_block(text + i + block, block_classes + block, part)
                               : ascii_word_bits(text + i + block, part))) {
                part = 0;
                for (int k = 0; k < 16; ++k) {
                    std::uint8_t f = flags_of(text[i + block + k]);
                    if constexpr (kLowering) {
                        if (f & kChangesWhenLowered) {
                            return false;
                        }
                    }
                    part |= static_cast<std::uint32_t>(f & kWord) << k;
                    if (keep_classes) {
                        block_classes[block + k] = static_cast<std::uint8_t>(class_of(text[i + block + k]));
                    }
                }
            }
            bits |= static_cast<std::uint64_t>(part) << block;
        }
        if (keep_classes) {
            std::uint32_t unused;
            if (!ascii_class_block(text + i + 64, block_classes + 64, unused)) {
                for (int k = 64; k < 80; ++k) {
                    block_classes[k] = static_cast<std::uint8_t>(class_of(text[i + k]));
                }
            }
        }
        std::uint64_t starts = bits & ~((bits << 1) | prev_word);
        prev_word = bits >> 63;
        // Only starts whose first two characters can open a phrase, picked without a branch each; with the
        // classes kept, the word filter below does better, and all starts are taken.
        int picked[64];
        int count = 0;
        if (keep_classes) {
            while (starts != 0) {
                picked[count++] = __builtin_ctzll(starts);
                starts &= starts - 1;
            }
        }
        while (starts != 0) {
            int offset = __builtin_ctzll(starts);
            starts &= starts - 1;
            Py_ssize_t at = i + offset;
            std::uint32_t second = at + 1 < length ? class_of(text[at + 1]) : 0;
            std::uint32_t bit = ((class_of(text[at]) & 0xFFu) << 8) | (second & 0xFFu);
            picked[count] = offset;
            count += static_cast<int>(((pairs[bit >> 6] >> (bit & 63)) & 1u) | (at + 1 == length));
        }
        if (!use_jumps_) {
            for (int k = 0; k < count; ++k) {
                if (!candidate(i + picked[k])) {
                    return false;
                }
            }
            continue;
        }
        // Busy tries: the words' keys first, their slots fetched ahead, then the look-ups in order.
        struct Key {
            std::uint64_t low, high, hash;
            std::uint32_t length;  // of the word, 0 when it may run past these 64 characters
            bool ready;
        };
        // Words whose bits in the word filter are clear cannot lead to a match and are dropped here.
        Key keys[64];
        int kept = 0;
        const std::uint64_t *filter = follow_filter_.data();
        for (int k = 0; k < count; ++k) {
            Key &key = keys[kept];
            int offset = picked[k];
            std::uint64_t rest = ~(bits >> offset);  // the shift brings in zeros: a non-word end
            int run = rest == 0 ? 64 : __builtin_ctzll(rest);  // all 64 characters one word: 64
            key.length = offset + run == 64 ? 0 : static_cast<std::uint32_t>(run);
            picked[kept] = offset;
            if (keep_classes && key.length != 0 && key.length <= kJumpWord) {
                std::memcpy(&key.low, block_classes + offset, 8);
                std::memcpy(&key.high, block_classes + offset + 8, 8);
                mask_key(key.length, key.low, key.high);
                key.ready = true;
                key.hash = jump_hash(key.low, key.high, key.length);
                const std::uint8_t *after = block_classes + offset + key.length;  // at most 66 here
                if (!filter_passes(filter, follow_shift_, key.hash, follows_key(after[0], after[1], after[2]))) {
                    continue;
                }
                __builtin_prefetch(&jump_tags_[key.hash & jump_mask_]);
                __builtin_prefetch(&jumps_[key.hash & jump_mask_]);
                ++kept;
                continue;
            }
            key.ready = word_key(text, length, i + offset, key.length, key.low, key.high);
            if (key.ready) {
                key.hash = jump_hash(key.low, key.high, key.length);
                Py_ssize_t j = i + offset + key.length;
                if (j + 2 < length) {
                    std::uint32_t follows = follows_key(class_of(text[j]), class_of(text[j + 1]), class_of(text[j + 2]));
                    if (!filter_passes(filter, follow_shift_, key.hash, follows)) {
                        continue;
                    }
                }
                __builtin_prefetch(&jump_tags_[key.hash & jump_mask_]);
                __builtin_prefetch(&jumps_[key.hash & jump_mask_]);
            }
            ++kept;
        }
        for (int k = 0; k < kept; ++k) {
            Py_ssize_t at = i + picked[k];
            if (at < resume) {
                continue;
            }
            const Key &key = keys[k];
            std::int32_t node = 0;
            Py_ssize_t end = key.ready ? match_word(text, length, at, key.length, key.low, key.high, key.hash, node)
                                       : match_by_word(text, length, at, key.length, node);
            if (end > at) {
                resume = end;
                if (!on_match(at, end, node)) {
                    return false;
                }
            }
        }
    }
    for (; i < length; ++i) {
        std::uint8_t f = flags_of(text[i]);
        if constexpr (kLowering) {
            if (f & kChangesWhenLowered) {
                return false;
            }
        }
        std::uint64_t word = f & kWord;
        if (word && !prev_word && !candidate(i)) {
            return false;
        }
        prev_word = word;
    }
    return true;
}

template <bool kLowering, typename CharT, typename OnMatch>
bool PhraseAutomaton::scan_everywhere(const CharT *text, Py_ssize_t length, OnMatch &&on_match) const {
    const CaseRules &rules = *rules_;
    if constexpr (kLowering) {
        // This scan jumps over the inside of matches, so characters are checked beforehand.
        for (Py_ssize_t i = 0; i < length; ++i) {
            if (rules.flags(static_cast<std::uint32_t>(text[i])) & kChangesWhenLowered) {
                return false;
            }
        }
    }
    const Node *nodes = nodes_.data();
    const std::int32_t empty_phrase = nodes[0].terminal;
    auto word = [&](CharT c) -> bool { return rules.word(static_cast<std::uint32_t>(c)); };

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
            return true;  // no boundary at the end of a text that ends with a non-word character
        }
        // The smallest list index among the phrases that match here and end on a boundary wins.
        std::int32_t best = INT_MAX;
        Py_ssize_t best_end = -1;
        std::int32_t best_node = 0;
        if (empty_phrase >= 0 && i != no_empty_at) {
            best = empty_phrase;
            best_end = i;
        }
        std::int32_t node = 0;
        for (Py_ssize_t j = i; j < length;) {
            std::int32_t child = step(node, class_of(text[j]));
            if (child < 0 || nodes[child & ~kEnds].subtree_min >= best) {
                break;
            }
            node = child & ~kEnds;
            ++j;
            std::int32_t terminal = nodes[node].terminal;
            if (terminal >= 0 && terminal < best && word(text[j - 1]) != (j < length && word(text[j]))) {
                best = terminal;
                best_end = j;
                best_node = node;
            }
        }
        if (best_end == i) {
            if (!on_match(i, i, 0)) {
                return false;
            }
            no_empty_at = i;  // search again here, for a non-empty match only
            continue;
        }
        if (best_end > i) {
            if (!on_match(i, best_end, best_node)) {
                return false;
            }
            i = best_end;
            prev_word = word(text[i - 1]);
            continue;
        }
        if (i == length) {
            return true;
        }
        prev_word = !prev_word;  // a boundary: the character at i has the other flag
        ++i;
    }
}

template <bool kLowering, typename CharT, typename OnMatch>
bool PhraseAutomaton::scan(const CharT *text, Py_ssize_t length, OnMatch &&on_match) const {
    // `re` sees no word boundary at all in an empty string.
    if (length == 0 || nodes_[0].subtree_min < 0) {
        return true;
    }
    if (word_starts_only_) {
        return scan_word_starts<kLowering>(text, length, on_match);
    }
    return scan_everywhere<kLowering>(text, length, on_match);
}

// The phrase whose text equals the lower case of the match in `text`, or -1 for none; -2 when that hangs
// on the final form of a capital sigma, which only the whole lower-cased text can tell.
template <typename CharT>
int PhraseAutomaton::phrase_of_match(const CharT *text, Py_ssize_t start, Py_ssize_t end, std::int32_t node) const {
    for (std::uint32_t t = texts_begin_[node]; t < texts_begin_[node + 1]; ++t) {
        const std::u32string &phrase = phrases_[texts_[t]];
        if (static_cast<Py_ssize_t>(phrase.size()) != end - start) {
            continue;
        }
        bool equal = true;
        for (Py_ssize_t j = start; j < end; ++j) {
            std::uint32_t c = static_cast<std::uint32_t>(text[j]);
            std::uint32_t p = phrase[static_cast<std::size_t>(j - start)];
            if (c == kCapitalSigma && (p == kSmallSigma || p == kFinalSigma)) {
                return -2;
            }
            if (CaseRules::lower_of(c) != p) {
                equal = false;
                break;
            }
        }
        if (equal) {
            return texts_[t];
        }
    }
    return -1;
}

std::vector<Span> PhraseAutomaton::find_all(PyObject *text) const {
    std::vector<Span> out;
    auto collect = [&](Py_ssize_t start, Py_ssize_t end, std::int32_t) {
        out.push_back({start, end});
        return true;
    };
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const void *data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        scan<false>(static_cast<const Py_UCS1 *>(data), length, collect);
        break;
    case PyUnicode_2BYTE_KIND:
        scan<false>(static_cast<const Py_UCS2 *>(data), length, collect);
        break;
    default:
        scan<false>(static_cast<const Py_UCS4 *>(data), length, collect);
        break;
    }
    return out;
}

bool PhraseAutomaton::find_phrases_of_lowered(PyObject *text, std::vector<std::int32_t> &found, bool &matched) const {
    found.clear();
    matched = false;
    std::vector<bool> seen;
    auto run = [&](const auto *chars) {
        auto tell = [&](Py_ssize_t start, Py_ssize_t end, std::int32_t node) {
            matched = true;
            int phrase = phrase_of_match(chars, start, end, node);
            if (phrase == -2) {
                return false;
            }
            if (phrase >= 0) {
                if (seen.empty()) {
                    seen.assign(phrases_.size(), false);
                }
                if (!seen[static_cast<std::size_t>(phrase)]) {
                    seen[static_cast<std::size_t>(phrase)] = true;
                    found.push_back(phrase);
                }
            }
            return true;
        };
        return scan<true>(chars, PyUnicode_GET_LENGTH(text), tell);
    };
    const void *data = PyUnicode_DATA(text);
    bool done;
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        done = run(static_cast<const Py_UCS1 *>(data));
        break;
    case PyUnicode_2BYTE_KIND:
        done = run(static_cast<const Py_UCS2 *>(data));
        break;
    default:
        done = run(static_cast<const Py_UCS4 *>(data));
        break;
    }
    if (!done) {
        found.clear();
        matched = false;
    }
    return done;
}

}  // namespace vadrel_guardrail::phrase_matching
