// What a `PhraseAutomaton` finds in a Python string: its matches as they stand, or its matches in the lower-cased
// text reported as phrases, with the text lower-cased only around the characters whose lower case a scan of the
// text itself cannot stand for.
#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"
#include "vadrel_guardrail/engine/phrase_matching/word_filter.hpp"

namespace vadrel_guardrail::phrase_matching {

namespace {

// Calls `run` with the string's storage, typed by its width.
template <typename Run>
void with_chars(PyObject *text, Run &&run) {
    const void *data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        run(static_cast<const Py_UCS1 *>(data));
        break;
    case PyUnicode_2BYTE_KIND:
        run(static_cast<const Py_UCS2 *>(data));
        break;
    default:
        run(static_cast<const Py_UCS4 *>(data));
        break;
    }
}

// What the lowered path keeps from check to check, so that a long stretch costs no fresh pages each time and a
// short text no allocation: the stretch's characters (of two or four bytes); for each character that changes
// when lowered, its place in the stretch, its lower case's length and the growth before it.
struct Grown {
    Py_ssize_t at, size, before;
};
struct StretchBuffers {
    std::vector<Py_UCS4> wide;
    std::vector<Py_UCS2> narrow;
    std::vector<Grown> grown;
    // The matches in the text itself that wait to be reported, and which phrases were reported (all false between
    // checks): a check of a short text allocates nothing.
    std::vector<std::pair<Span, std::int32_t>> spans;  // with the node where each ends
    std::vector<bool> seen;
};

// The calling thread's buffers, found once per check: a thread-local variable of a shared library costs a
// call at each use.
[[gnu::noinline]] StretchBuffers &stretch_buffers() {
    static thread_local StretchBuffers buffers;
    return buffers;
}

}  // namespace

PhraseAutomaton::Scratch &PhraseAutomaton::scratch() const {
    constexpr int kKept = 4;
    static thread_local Scratch kept[kKept];
    static thread_local std::uint64_t clock = 0;
    Scratch *oldest = &kept[0];
    for (Scratch &s : kept) {
        if (s.serial == serial_) {
            s.used = ++clock;
            return s;
        }
        oldest = s.used < oldest->used ? &s : oldest;
    }
    *oldest = Scratch{};
    oldest->serial = serial_;
    oldest->used = ++clock;
    return *oldest;
}

// Fills an entry of the table of recent word look-ups (see `cached_jump`) from the jump table.
const PhraseAutomaton::WordStep &PhraseAutomaton::fill_word_cache(Scratch &scratch, WordStep &entry, std::uint64_t hash,
                                                                  std::uint64_t low, std::uint64_t high,
                                                                  std::uint32_t length, std::int32_t from) const {
    // The table starts as one entry that matches nothing and takes its size at the first miss: no larger than
    // the jump table, for short phrase lists.
    if (scratch.word_mask == 0) {
        std::size_t size = std::clamp<std::size_t>(jump_mask_ + 1, 1024, kWordCacheSize);
        scratch.words.assign(size, WordStep{});
        scratch.word_mask = size - 1;
        return fill_word_cache(scratch, scratch.words[(hash >> kWordCacheShift) & scratch.word_mask], hash, low,
                               high, length, from);
    }
    entry = WordStep{};
    entry.low = low;
    entry.high = high;
    entry.length = length;
    entry.from = from;
    std::uint16_t tag = jump_tag(hash);
    for (std::size_t slot = hash & jump_mask_; jump_tags_[slot] != 0; slot = (slot + 1) & jump_mask_) {
        const Jump &jump = jumps_[slot];
        if (jump_tags_[slot] != tag || jump.from != from || jump.length != length || jump.low != low ||
            jump.high != high) {
            continue;
        }
        entry.node = jump.node;
        const Node &node = nodes_[jump.node];
        entry.terminal = node.terminal;
        entry.subtree_min = node.subtree_min;
        // A word is followed by a character that is not a word character, most often a space: the step on a
        // space is kept, whatever it leads to (no phrase goes on with a space when it is -1). The first edge
        // would be no better a guess, and where it holds a word character it would never be taken.
        entry.edge_class = latin1_class_[' '];
        entry.edge_child = step(jump.node, entry.edge_class);
        if (entry.edge_child >= 0) {
            entry.edge_subtree_min = nodes_[entry.edge_child & ~kEnds].subtree_min;
        }
        for (int k = 0; k < 4; ++k) {
            entry.follows[k & 1] |= jump.follows[k];  // bit b of 256 lands on bit b mod 128
        }
        break;
    }
    return entry;
}

// The phrase whose text equals the lower case of the match in `chars`, or -1 for none. A capital sigma's lower
// case is `sigma_at` of its place, asked only where a phrase holds a small sigma there.
template <typename CharT, typename SigmaAt>
int PhraseAutomaton::phrase_of_match(const CharT *chars, Py_ssize_t start, Py_ssize_t end,
                                     std::int32_t node, SigmaAt &&sigma_at) const {
    for (std::uint32_t t = texts_begin_[node]; t < texts_begin_[node + 1]; ++t) {
        const std::u32string &phrase = phrases_[texts_[t]];
        if (static_cast<Py_ssize_t>(phrase.size()) != end - start) {
            continue;
        }
        // The match reached the node through the classes of the phrase's characters: it lowers to the phrase
        // at every place but those of `compared_`.
        auto equal_at = [&](Py_ssize_t j) {
            std::uint32_t c = static_cast<std::uint32_t>(chars[j]);
            std::uint32_t p = phrase[static_cast<std::size_t>(j - start)];
            bool sigma = c == kCapitalSigma && (p == kSmallSigma || p == kFinalSigma);
            return c == p || (sigma ? sigma_at(j) : rules_->lower(c)) == p;
        };
        const std::uint64_t places = compared_[static_cast<std::size_t>(texts_[t])];
        bool equal = true;
        if (places == ~std::uint64_t{0}) {
            for (Py_ssize_t j = start; j < end && equal; ++j) {
                equal = equal_at(j);
            }
        } else {
            for (std::uint64_t rest = places; rest != 0 && equal; rest &= rest - 1) {
                equal = equal_at(start + __builtin_ctzll(rest));
            }
        }
        if (equal) {
            return texts_[t];
        }
    }
    return -1;
}

template <typename CharT, typename SigmaAt>
int PhraseAutomaton::reported_phrase(Scratch &scratch, const CharT *chars, Py_ssize_t start, Py_ssize_t end,
                                     std::int32_t node, SigmaAt &&sigma_at) const {
    const Py_ssize_t length = end - start;
    const std::size_t bytes = static_cast<std::size_t>(length) * sizeof(CharT);
    if (bytes > Reported::kBytes) {
        return phrase_of_match(chars, start, end, node, sigma_at);
    }
    static_assert(Reported::kBytes / 2 <= 64, "a sigma's place (of two bytes or more) must fit the bits");
    // Pairs of entries, two pairs for each text that the phrases hold, up to 4,096 pairs: a long list's matched
    // texts are many (hundreds of word pairs in a text of a few dozen words).
    std::vector<Reported> &table = scratch.reported;
    if (table.empty()) {
        std::size_t pairs = 16;
        while (pairs < 2 * texts_.size() && pairs < 4096) {
            pairs *= 2;
        }
        table.resize(2 * pairs);
    }
    Reported *pair = table.data() + 2 * (((static_cast<std::uint32_t>(node) * 0x9E3779B1u) >> 16) &
                                         (table.size() / 2 - 1));
    const CharT *raw = chars + start;
    auto finals_of = [&](std::uint64_t sigmas) {
        std::uint64_t finals = 0;
        for (; sigmas != 0; sigmas &= sigmas - 1) {
            int k = __builtin_ctzll(sigmas);
            finals |= static_cast<std::uint64_t>(sigma_at(start + k) == kFinalSigma) << k;
        }
        return finals;
    };
    for (const Reported *entry : {pair, pair + 1}) {
        if (entry->node == node && entry->length == length && entry->width == sizeof(CharT) &&
            std::memcmp(entry->raw, raw, bytes) == 0 &&
            (entry->sigmas == 0 || finals_of(entry->sigmas) == entry->finals)) {
            return entry->phrase;
        }
    }
    const int phrase = phrase_of_match(chars, start, end, node, sigma_at);
    // The newest entry first; the older one gives way.
    pair[1] = pair[0];
    Reported &entry = pair[0];
    entry.node = node;
    entry.phrase = phrase;
    entry.length = static_cast<std::uint16_t>(length);
    entry.width = sizeof(CharT);
    std::memcpy(entry.raw, raw, bytes);
    // A sigma's lower case hangs on the characters around the match where it differs between a cased and an
    // uncased character on either side of the raw text (an uncased one stands for the text's start and end).
    entry.sigmas = 0;
    char32_t padded[Reported::kBytes + 2];
    std::copy_n(raw, length, padded + 1);
    for (Py_ssize_t k = 0; k < length; ++k) {
        if (raw[k] != kCapitalSigma) {
            continue;
        }
        std::uint32_t forms = 0;
        for (char32_t before : {U'A', U' '}) {
            for (char32_t after : {U'A', U' '}) {
                padded[0] = before;
                padded[length + 1] = after;
                forms |= std::uint32_t{1} << (rules_->sigma_lowered(padded, length + 2, k + 1) == kFinalSigma);
            }
        }
        entry.sigmas |= static_cast<std::uint64_t>(forms == 3) << k;
    }
    entry.finals = finals_of(entry.sigmas);
    return phrase;
}

// The lower case of the match from `start` to `end` in `chars`, a capital sigma's as `sigma_at` of its place.
template <typename CharT, typename SigmaAt>
static std::u32string lowered_text(const CaseRules &rules, const CharT *chars, Py_ssize_t start, Py_ssize_t end,
                                   SigmaAt &&sigma_at) {
    std::u32string out;
    out.reserve(static_cast<std::size_t>(end - start));
    for (Py_ssize_t j = start; j < end; ++j) {
        std::uint32_t c = static_cast<std::uint32_t>(chars[j]);
        out.push_back(static_cast<char32_t>(c == kCapitalSigma ? sigma_at(j) : rules.lower(c)));
    }
    return out;
}

template <typename CharT, typename Tell>
bool PhraseAutomaton::scan_lowered(const CharT *text, Py_ssize_t length, Tell &&tell,
                                   const std::size_t *found_texts) const {
    const CaseRules &rules = *rules_;
    auto sigma_in_text = [&](Py_ssize_t at) { return rules.sigma_lowered(text, length, at); };
    StretchBuffers &kept = stretch_buffers();
    // Matches in the text itself wait until no character that changes when lowered can undo them.
    std::vector<std::pair<Span, std::int32_t>> &spans = kept.spans;
    spans.clear();
    Scratch &scratch = this->scratch();
    auto pending = sink_of(
        [&](Py_ssize_t start, Py_ssize_t end, std::int32_t node) {
            spans.push_back({{start, end}, node});
        },
        scratch);
    auto tell_pending = [&] {
        for (const auto &[span, node] : spans) {
            tell(reported_phrase(scratch, text, span.start, span.end, node, sigma_in_text),
                 [&] { return lowered_text(rules, text, span.start, span.end, sigma_in_text); });
        }
        spans.clear();
    };
    std::vector<Py_UCS4> &lowered = kept.wide;
    std::vector<Py_UCS2> &narrow_lowered = kept.narrow;
    std::vector<Grown> &grown = kept.grown;
    // The lower case of the last character asked for (mostly one character again and again), padded with zeros
    // to `kLowerMost` characters, so that it is written whole without a loop.
    constexpr std::size_t kLowerMost = 4;
    struct Lowered {
        std::uint32_t of = kMaxCodePoint + 1;
        Py_ssize_t size = 0;
        char32_t units[kLowerMost] = {};
        const std::u32string *all = nullptr;
    } last_lowered;
    auto lowered_of = [&](std::uint32_t c) -> const Lowered & {
        if (c != last_lowered.of) {
            const std::u32string &l = rules.full_lower(c);
            last_lowered = Lowered{c, static_cast<Py_ssize_t>(l.size()), {}, &l};
            std::copy_n(l.begin(), std::min(l.size(), kLowerMost), last_lowered.units);
        }
        return last_lowered;
    };
    // Characters closer than `kJoin` to the last share its stretch: where they are many (Turkish capitals), the
    // text is scanned in long stretches rather than stopping at each. A stretch ends after about `kLongest`
    // characters, so that they are read again while the cache still holds them. Where the next such character
    // is near (or near the text's start), its stretch starts at once, without a scan of the text itself.
    constexpr Py_ssize_t kJoin = 512, kLongest = 32768;
    bool dense = sizeof(CharT) == 2;
    // Once every phrase text is found, later matches change nothing the caller tells. The text itself is then
    // scanned in pieces of growing length (the scan over word starts alone, the others looking ahead to the
    // end), and a piece's matches are reported once no character that changes lies within `reach_` after it.
    auto all_found = [&] { return found_texts && *found_texts == texts_.size(); };
    const bool in_pieces = found_texts && word_starts_only_;
    constexpr Py_ssize_t kFirstPiece = 8192;
    Py_ssize_t from = 0, resume = 0;
    while (from < length) {
        Py_ssize_t resume_before = resume;
        Py_ssize_t tried = from, changing = length;
        if (dense) {
            Py_ssize_t near = std::min(length, from + reach_ + kJoin + 1);
            changing = rules.first_changing(text, from, near);
            changing = changing == near ? length : changing;
        }
        if (changing == length) {
            for (Py_ssize_t at = from, piece = kFirstPiece;; at += piece, piece *= 2) {
                const Py_ssize_t limit = in_pieces && length - at > piece ? at + piece : length;
                tried = scan<true>(text, length, at, limit, resume, pending);
                if (tried < length || limit == length) {
                    break;
                }
                const Py_ssize_t read = std::min(length, limit + reach_);
                if (rules.first_changing(text, limit, read) == read) {
                    if (!spans.empty()) {
                        resume_before = spans.back().first.end;
                    }
                    tell_pending();
                    if (all_found()) {
                        return true;
                    }
                }
            }
            if (tried >= length) {
                break;
            }
            changing = rules.first_changing(text, tried, length);
        }
        // The candidates from `trusted` on were not tried or may have read the character: they are tried over
        // a stretch lower-cased apart, which runs on until `reach_` characters past the last such character
        // nearby, and `reach_` more for the candidates before it to read.
        Py_ssize_t trusted = std::max(from, std::min(tried, changing - reach_));
        while (!spans.empty() && spans.back().first.start >= trusted) {
            spans.pop_back();
        }
        resume = spans.empty() ? resume_before : spans.back().first.end;
        tell_pending();
        Py_ssize_t begin = trusted > 0 ? trusted - 1 : 0;  // with the character before, for its word flag
        // The stretch is written into `buffer` (of the text's width, or of four bytes) in the same pass that
        // finds its characters that change and where it ends, then scanned.
        auto write_and_scan = [&](auto &buffer) {
            using StretchT = typename std::remove_reference_t<decltype(buffer)>::value_type;
            // The stretch's characters are written from `copied` on up to a place in the text, the runs between
            // those that change 16 bytes at a time, a little past their end where the text goes on, to be written
            // over next; the buffer keeps room for that, and for the padded lower cases.
            constexpr Py_ssize_t kUnit = 16 / sizeof(StretchT);
            Py_ssize_t copied = begin, written = 0;
            auto make_room = [&](Py_ssize_t more) {
                auto room = static_cast<std::size_t>(written + more + kUnit + kLowerMost);
                if (buffer.size() < room) {
                    buffer.resize(std::max(room, 2 * buffer.size()));
                }
            };
            auto copy_upto = [&](Py_ssize_t upto) {
                const Py_ssize_t count = upto - copied;
                make_room(count);
                const CharT *source = text + copied;
                StretchT *out = buffer.data() + written;
                if constexpr (sizeof(StretchT) == sizeof(CharT)) {
#if defined(__SSE2__)
                    if (upto + kUnit <= length) {
                        for (Py_ssize_t k = 0; k < count; k += kUnit) {
                            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + k),
                                             _mm_loadu_si128(reinterpret_cast<const __m128i *>(source + k)));
                        }
                    } else {
                        std::memcpy(out, source, static_cast<std::size_t>(count) * sizeof(CharT));
                    }
#else
                    std::memcpy(out, source, static_cast<std::size_t>(count) * sizeof(CharT));
#endif
                } else {
                    for (Py_ssize_t k = 0; k < count; ++k) {
                        out[k] = static_cast<StretchT>(source[k]);
                    }
                }
                written += count;
                copied = upto;
            };
            // From `changing` on, the stretch takes the characters that change until the next lies more than
            // `2 * reach_ + kJoin` past the last, or the stretch would grow past `kLongest` and can be cut with
            // none of them unlowered before its end. Each is noted with its place and its growth, for `origin`.
            grown.clear();
            Py_ssize_t growth = 0, last = changing;
            dense = false;
            // Takes the character at `at`, the text before it written: false when the stretch ends before it.
            auto take = [&](Py_ssize_t at) {
                if (at > changing) {
                    if (at > last + 2 * reach_ + kJoin) {
                        return false;
                    }
                    if (at - begin > kLongest && at > last + 2 * reach_) {
                        dense = true;
                        return false;
                    }
                    last = at;
                }
                copy_upto(at);
                const Lowered &l = lowered_of(static_cast<std::uint32_t>(text[at]));
                StretchT *out = buffer.data() + written;
                for (std::size_t k = 0; k < kLowerMost; ++k) {
                    out[k] = static_cast<StretchT>(l.units[k]);
                }
                if (l.size > static_cast<Py_ssize_t>(kLowerMost)) {
                    make_room(l.size);
                    std::copy(l.all->begin(), l.all->end(), buffer.data() + written);
                }
                grown.push_back({at - begin + growth, l.size, growth});
                growth += l.size - 1;
                written += l.size;
                copied = at + 1;
                return true;
            };
            Py_ssize_t j = begin;
            bool stop = false;
#if defined(__SSE2__)
            // Two-byte text kept at its width: 64 characters are written at once, and again from after each one
            // that changes, which has been written in its lower case, each time over the rest; no branch hangs on
            // how far apart they lie.
            if constexpr (sizeof(CharT) == 2 && sizeof(StretchT) == 2) {
                auto copy_64 = [&] {
                    make_room(64);
                    const CharT *source = text + copied;
                    StretchT *out = buffer.data() + written;
                    for (int k = 0; k < 64; k += 8) {
                        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + k),
                                         _mm_loadu_si128(reinterpret_cast<const __m128i *>(source + k)));
                    }
                };
                for (; j + 128 <= length && j <= last + 2 * reach_ + kJoin; j += 64) {
                    copy_64();
                    for (std::uint64_t bits = rules.changing_bits(text, j, length); bits != 0; bits &= bits - 1) {
                        Py_ssize_t at = j + __builtin_ctzll(bits);
                        written += at - copied;
                        copied = at;
                        if (!take(at)) {
                            stop = true;
                            break;
                        }
                        copy_64();
                    }
                    if (stop) {
                        break;
                    }
                    written += j + 64 - copied;
                    copied = j + 64;
                }
            }
#endif
            // Elsewhere, and for the text's last characters, the characters that change are found 64 at a time.
            for (; !stop && j < length && j <= last + 2 * reach_ + kJoin; j += 64) {
                for (std::uint64_t bits = rules.changing_bits(text, j, length); bits != 0; bits &= bits - 1) {
                    if (!take(j + __builtin_ctzll(bits))) {
                        stop = true;
                        break;
                    }
                }
            }
            const Py_ssize_t end = std::min(length, last + 1 + 2 * reach_);
            if (copied > end) {  // written past its end, 64 characters at a time: cut back
                written -= copied - end;
                copied = end;
            }
            copy_upto(end);
            const Py_ssize_t stretch_length = written;
            // The place in the text of the stretch's character at `at`.
            auto origin = [&](Py_ssize_t at) {
                auto after = std::upper_bound(grown.begin(), grown.end(), at,
                                              [](Py_ssize_t place, const Grown &g) { return place < g.at; });
                if (after == grown.begin()) {
                    return begin + at;
                }
                const Grown &g = *(after - 1);
                return at < g.at + g.size ? begin + g.at - g.before : begin + at - (g.before + g.size - 1);
            };
            // The stretch's last `reach_` characters only serve the candidates before them, which the text itself
            // takes up again; after the last changing character, places in the stretch are the text's, shifted.
            const Py_ssize_t shift = growth;
            const Py_ssize_t handoff = end < length ? end - reach_ : length;
            Py_ssize_t stretch_resume = resume > trusted ? resume - begin : 0;
            const Py_ssize_t stretch_limit = handoff - begin + shift;
            auto sigma_in_stretch = [&](Py_ssize_t at) { return rules.sigma_lowered(text, length, origin(at)); };
            const StretchT *stretch = buffer.data();
            auto in_stretch = sink_of(
                [&](Py_ssize_t start, Py_ssize_t stop, std::int32_t node) {
                    tell(reported_phrase(scratch, stretch, start, stop, node, sigma_in_stretch),
                         [&] { return lowered_text(rules, stretch, start, stop, sigma_in_stretch); });
                },
                scratch);
            scan<false>(stretch, stretch_length, trusted - begin, stretch_limit, stretch_resume, in_stretch);
            from = resume = stretch_resume > stretch_limit ? stretch_resume - shift + begin : handoff;
        };
        // Two-byte text whose changing characters lower within the plane keeps its width: half the bytes to
        // write and read.
        if constexpr (sizeof(CharT) == 2) {
            if (rules.plane_lowers_in_plane()) {
                write_and_scan(narrow_lowered);
            } else {
                write_and_scan(lowered);
            }
        } else {
            write_and_scan(lowered);
        }
        if (all_found()) {
            return true;  // the stretch's matches are final
        }
    }
    tell_pending();
    return false;
}

std::vector<Span> PhraseAutomaton::find_all(PyObject *text) const {
    std::vector<Span> out;
    auto collect =
        sink_of([&](Py_ssize_t start, Py_ssize_t end, std::int32_t) { out.push_back({start, end}); }, scratch());
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    with_chars(text, [&](const auto *chars) {
        Py_ssize_t resume = 0;
        scan<false>(chars, length, 0, length, resume, collect);
    });
    return out;
}

bool PhraseAutomaton::find_phrases_of_lowered(PyObject *text, std::vector<std::int32_t> &found, bool &matched,
                                              std::vector<std::u32string> &other_texts, bool may_stop) const {
    found.clear();
    matched = false;
    other_texts.clear();
    std::vector<bool> &seen = stretch_buffers().seen;
    if (seen.size() < phrases_.size()) {
        seen.resize(phrases_.size());
    }
    // Leaves `seen` all false again, however the scan ends.
    struct Unsee {
        std::vector<bool> &seen;
        const std::vector<std::int32_t> &found;
        ~Unsee() {
            for (std::int32_t phrase : found) {
                if (phrase >= 0) {
                    seen[static_cast<std::size_t>(phrase)] = false;
                }
            }
        }
    } unsee{seen, found};
    std::unordered_map<std::u32string, std::size_t> other_seen;
    std::size_t found_texts = 0;
    auto tell = [&](int phrase, auto &&text_of_match) {
        matched = true;
        if (phrase >= 0) {
            if (!seen[static_cast<std::size_t>(phrase)]) {
                found.push_back(phrase);  // first, so that `unsee` always sees what is set
                seen[static_cast<std::size_t>(phrase)] = true;
                ++found_texts;
            }
        } else {
            auto [it, added] = other_seen.emplace(text_of_match(), other_texts.size());
            if (added) {
                found.push_back(-1 - static_cast<std::int32_t>(other_texts.size()));
                other_texts.push_back(it->first);
            }
        }
    };
    bool stopped = false;
    with_chars(text, [&](const auto *chars) {
        stopped = scan_lowered(chars, PyUnicode_GET_LENGTH(text), tell, may_stop ? &found_texts : nullptr);
    });
    return stopped;
}

}  // namespace vadrel_guardrail::phrase_matching
