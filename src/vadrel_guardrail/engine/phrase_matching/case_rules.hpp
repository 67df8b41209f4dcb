// Each character's case key and word flag as `re` sees them, and which characters `str.lower` turns into
// something that a scan of the text itself cannot stand for; read once from Python.
#pragma once

#include <Python.h>

#include <cstdint>
#include <algorithm>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vadrel_guardrail::phrase_matching {

constexpr std::uint32_t kMaxCodePoint = 0x10FFFF;
constexpr std::uint32_t kBmp = 0x10000;
constexpr std::uint32_t kCapitalSigma = 0x3A3;
constexpr std::uint32_t kSmallSigma = 0x3C3;
constexpr std::uint32_t kFinalSigma = 0x3C2;

// Character flags.
constexpr std::uint8_t kWord = 1;
// `str.lower` turns the character into several, or one with another case key or word flag.
constexpr std::uint8_t kChangesWhenLowered = 2;

// The rules of `re` for IGNORECASE on str patterns. A pattern character p matches a text character t when
// lower(t) == lower(p), or lower(t) lies in the extra class of lower(p) (`re._casefix`); uncased p match only
// themselves. With the extra classes closed, their members cased, and no character lowering to an uncased
// one (all checked when the rules are read), that is exactly key(t) == key(p) for
// key(c) = representative of the class of lower(c).
class CaseRules {
public:
    // Null when Python's tables break an assumption of the scans; the pattern is then used itself.
    static const CaseRules *get();

    std::uint32_t key(std::uint32_t c) const { return c < kBmp ? bmp_key_[c] : slow_key(c); }
    std::uint8_t flags(std::uint32_t c) const { return c < kBmp ? bmp_flags_[c] : slow_flags(c); }
    bool word(std::uint32_t c) const { return (flags(c) & kWord) != 0; }
    // Whether those characters lower within the plane: two-byte text then keeps its width when lowered.
    bool plane_lowers_in_plane() const { return plane_lowers_in_plane_; }
    // Whether every character whose key is that of the lower-case character `c` lowers to `c` itself: true but
    // for the members of the extra classes of `re._casefix` (s and long s, sigma and final sigma, ...).
    bool sole_lower(std::uint32_t c) const { return canon_.find(c) == canon_.end(); }
    // Whether some non-word character has this key.
    bool nonword_key(std::uint32_t key) const { return key > kMaxCodePoint || nonword_key_[key]; }
    // The characters of the basic multilingual plane with this key (a key below 0x10000).
    const std::uint16_t *chars_begin(std::uint32_t key) const { return by_key_.data() + by_key_begin_[key]; }
    const std::uint16_t *chars_end(std::uint32_t key) const { return by_key_.data() + by_key_begin_[key + 1]; }
    static std::uint32_t lower_of(std::uint32_t c) { return Py_UNICODE_TOLOWER(static_cast<Py_UCS4>(c)); }
    std::uint32_t lower(std::uint32_t c) const { return c < kBmp ? bmp_lower_[c] : lower_of(c); }
    // The `str.lower` form of a character flagged kChangesWhenLowered; its characters are not flagged.
    const std::u32string &full_lower(std::uint32_t c) const { return full_lower_.at(c); }

    // The bits of the characters, among the 64 at `j` (fewer when `stop` is nearer), that change when lowered.
    template <typename CharT>
    [[gnu::always_inline]] std::uint64_t changing_bits(const CharT *text, Py_ssize_t j, Py_ssize_t stop) const {
        const Py_ssize_t count = std::min<Py_ssize_t>(64, stop - j);
#if defined(__SSE2__)
        // Where one or two characters of the plane change (as a rule), sixteen are compared at a time.
        const std::vector<std::uint16_t> &few = plane_changing_;
        if constexpr (sizeof(CharT) == 2) {
            if (count == 64 && !few.empty() && few.size() <= 2) {
                const __m128i first = _mm_set1_epi16(static_cast<short>(few[0]));
                const __m128i second = _mm_set1_epi16(static_cast<short>(few.back()));
                auto hits = [&](const CharT *at) {
                    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
                    return _mm_or_si128(_mm_cmpeq_epi16(v, first), _mm_cmpeq_epi16(v, second));
                };
                std::uint64_t bits = 0;
                for (int k = 0; k < 64; k += 16) {
                    __m128i both = _mm_packs_epi16(hits(text + j + k), hits(text + j + k + 8));
                    bits |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(both))) << k;
                }
                return bits;
            }
        }
#endif
        std::uint64_t bits = 0;
        for (Py_ssize_t k = 0; k < count; ++k) {
            std::uint8_t f = flags(static_cast<std::uint32_t>(text[j + k]));
            bits |= static_cast<std::uint64_t>((f & kChangesWhenLowered) != 0) << k;
        }
        return bits;
    }
    // The first place from `j` on, before `stop`, whose character changes when lowered; `stop` when none does.
    template <typename CharT>
    [[gnu::always_inline]] Py_ssize_t first_changing(const CharT *text, Py_ssize_t j, Py_ssize_t stop) const {
        for (; j < stop; j += 64) {
            if (std::uint64_t bits = changing_bits(text, j, stop)) {
                return j + __builtin_ctzll(bits);
            }
        }
        return stop;
    }

    // `str.lower` of the capital sigma at `at` in `text`: final when a cased character comes before it and none
    // after (case-ignorable characters passed over).
    template <typename CharT>
    std::uint32_t sigma_lowered(const CharT *text, Py_ssize_t length, Py_ssize_t at) const {
        Py_ssize_t j = at - 1;
        while (j >= 0 && sigma_context(text[j]) == kSigmaIgnorable) {
            --j;
        }
        bool final = j >= 0 && sigma_context(text[j]) == kSigmaCased;
        if (final) {
            j = at + 1;
            while (j < length && sigma_context(text[j]) == kSigmaIgnorable) {
                ++j;
            }
            final = j == length || sigma_context(text[j]) != kSigmaCased;
        }
        return final ? kFinalSigma : kSmallSigma;
    }

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

    static constexpr std::uint8_t kSigmaUncased = 0, kSigmaCased = 1, kSigmaIgnorable = 2;
    std::uint8_t sigma_context(std::uint32_t c) const {
        if (c < kBmp) {
            return sigma_context_[c];
        }
        auto found = std::lower_bound(astral_sigma_context_.begin(), astral_sigma_context_.end(),
                                      std::pair<std::uint32_t, std::uint8_t>(c, 0));
        return found != astral_sigma_context_.end() && found->first == c ? found->second : kSigmaUncased;
    }

    static const CaseRules *read();
    bool read_extra_classes();
    bool check_lowering();
    bool fill_tables();
    bool read_full_lowering();
    bool read_sigma_context();
    void mark_changing(std::uint32_t c, std::u32string lowered);

    std::map<std::uint32_t, std::uint32_t> canon_;
    std::vector<bool> nonword_key_;
    std::vector<std::uint32_t> bmp_key_;
    std::vector<std::uint8_t> bmp_flags_;
    std::vector<std::uint32_t> bmp_lower_;
    std::vector<std::uint32_t> by_key_begin_;  // characters of the plane grouped by key
    std::vector<std::uint16_t> by_key_;
    std::vector<std::uint16_t> plane_changing_;  // the plane's that change (the dotted capital I alone, as a rule)
    bool plane_lowers_in_plane_ = true;
    std::vector<std::uint32_t> astral_changing_;
    std::unordered_map<std::uint32_t, std::u32string> full_lower_;
    std::vector<std::uint8_t> sigma_context_;  // of the basic multilingual plane
    std::vector<std::pair<std::uint32_t, std::uint8_t>> astral_sigma_context_;  // sorted; uncased ones left out
};

}  // namespace vadrel_guardrail::phrase_matching
