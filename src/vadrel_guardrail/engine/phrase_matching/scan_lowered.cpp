// The scan of the lower-cased text without a lower-cased copy: the text itself, stopped at characters whose lower
// case a scan of it cannot stand for (one that lowers to several), around which a stretch is lower-cased apart.
#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"

namespace vadrel_guardrail::phrase_matching {

template <typename CharT>
bool PhraseAutomaton::scan_lowered(const CharT *text, Py_ssize_t length, Scratch &scratch, LoweredSink &sink,
                                   const std::size_t *found_texts) const {
    const CaseRules &rules = *rules_;
    // Matches in the text itself wait until no character that changes when lowered can undo them.
    std::vector<std::pair<Span, std::int32_t>> &spans = scratch.spans;
    spans.clear();
    auto pending = sink_of(
        [&](Py_ssize_t start, Py_ssize_t end, std::int32_t node) {
            spans.push_back({{start, end}, node});
        },
        scratch);
    auto tell_pending = [&] {
        for (const auto &[span, node] : spans) {
            sink.match(nullptr, span.start, span.end, node);
        }
        spans.clear();
    };
    std::vector<Py_UCS4> &lowered = scratch.wide;
    std::vector<Py_UCS2> &narrow_lowered = scratch.narrow;
    std::vector<Grown> &grown = scratch.grown;
    // The lower case of the last character asked for (mostly the same), padded to `kLowerMost` to be written whole.
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
    // Characters closer than `kJoin` to the last share its stretch (Turkish capitals make long stretches). A stretch
    // ends after about `kLongest` characters, read again while in cache. Where the next such character is near
    // (or near the text's start), its stretch starts at once, without a scan of the text itself.
    constexpr Py_ssize_t kJoin = 512, kLongest = 32768;
    bool dense = sizeof(CharT) == 2;
    // Once every phrase text is found, later matches change nothing: the word-start scan reads the text in pieces
    // of growing length, told once no changing character lies within `reach_` after them.
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
        // The candidates from `trusted` on were not tried or may have read the character: they are tried over a
        // stretch that runs `2 * reach_` past the last such character nearby.
        Py_ssize_t trusted = std::max(from, std::min(tried, changing - reach_));
        while (!spans.empty() && spans.back().first.start >= trusted) {
            spans.pop_back();
        }
        resume = spans.empty() ? resume_before : spans.back().first.end;
        tell_pending();
        Py_ssize_t begin = trusted > 0 ? trusted - 1 : 0;  // with the character before, for its word flag
        // The stretch is written into `buffer` in the pass that finds its changing characters and its end.
        auto write_and_scan = [&](auto &buffer) {
            using StretchT = typename std::remove_reference_t<decltype(buffer)>::value_type;
            // Runs between changing characters are copied 16 bytes at a time, a little past their end (written over
            // next): the buffer keeps room for that and for the padded lower cases.
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
            // none of them unlowered before its end. Each is noted with its place and its growth (see `Stretch`).
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
            // Two-byte text kept at its width: 64 characters written at once, and again after each changing one
            // (written lowered), over the rest; no branch hangs on how far apart they lie.
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
            // The last `reach_` characters serve only the candidates before them; the text itself takes over there.
            const Py_ssize_t shift = growth;
            const Py_ssize_t handoff = end < length ? end - reach_ : length;
            Py_ssize_t stretch_resume = resume > trusted ? resume - begin : 0;
            const Py_ssize_t stretch_limit = handoff - begin + shift;
            const StretchT *stretch = buffer.data();
            const Stretch told{stretch, sizeof(StretchT) == 2, begin, grown};
            auto in_stretch = sink_of(
                [&](Py_ssize_t start, Py_ssize_t stop, std::int32_t node) { sink.match(&told, start, stop, node); },
                scratch);
            scan<false>(stretch, stretch_length, trusted - begin, stretch_limit, stretch_resume, in_stretch);
            from = resume = stretch_resume > stretch_limit ? stretch_resume - shift + begin : handoff;
        };
        // Two-byte text whose changing characters lower within the plane keeps its width: half the bytes.
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

template bool PhraseAutomaton::scan_lowered(const Py_UCS1 *, Py_ssize_t, Scratch &, LoweredSink &,
                                            const std::size_t *) const;
template bool PhraseAutomaton::scan_lowered(const Py_UCS2 *, Py_ssize_t, Scratch &, LoweredSink &,
                                            const std::size_t *) const;
template bool PhraseAutomaton::scan_lowered(const Py_UCS4 *, Py_ssize_t, Scratch &, LoweredSink &,
                                            const std::size_t *) const;

}  // namespace vadrel_guardrail::phrase_matching
