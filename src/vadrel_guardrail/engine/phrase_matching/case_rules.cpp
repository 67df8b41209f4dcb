#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"

namespace vadrel_guardrail::phrase_matching {

const CaseRules *CaseRules::get() {
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

const CaseRules *CaseRules::read() {
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
bool CaseRules::read_extra_classes() {
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
bool CaseRules::check_lowering() {
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

bool CaseRules::fill_tables() {
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
bool CaseRules::read_full_lowering() {
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

void CaseRules::mark_changing(std::uint32_t c) {
    if (c < kBmp) {
        bmp_flags_[c] |= kChangesWhenLowered;
    } else {
        astral_changing_.push_back(c);
    }
}

}  // namespace vadrel_guardrail::phrase_matching
