"""Throughput of the phrase-matcher engine beside the multi-pattern engines a user would otherwise choose.

Every cell of {20, 1,000, 10,000 phrases} x {100 B, 10 KB, 1 MB of UTF-8 text} is measured side by side in
one run, the contenders alternating round by round so that all see the same machine load:

- `await engine.check_input(content=text)` on the regular-expression path (served by the native matcher);
- google-re2: the same pattern compiled case-insensitively, `findall` over the text's UTF-8 bytes;
- hyperscan: one case-insensitive `\\bphrase\\b` expression per phrase, each reported once, block mode over
  the text's UTF-8 bytes.

The peers get the bytes ready-made and skip the mapping of matches back to phrases, so they are measured at
their best. Their `\\b` is ASCII-only: beside a letter beyond ASCII they see no word boundary, so on the Greek
text they find none of the phrases the pattern finds, and on the Turkish text about half. Each cell shows how
many of the pattern's matched phrases each peer found ("finds"), and a goal missed against a peer that found
fewer says so. The text is English prose with a few characters beyond Latin-1 (dashes, quotes, a euro sign), so
Python holds it in two-byte units; the phrases are whole-word, two or three words, some in title case, and
each text holds a few of them. The engine must reach the verdict of the prepared pattern's own `findall` on
the lower-cased text in every cell.

Also timed: building an engine with 10,000 phrases against `re.compile` of its prepared pattern alone, best of
five, alternating, each from the same state (`re`'s compile cache emptied, the collector run).

Goals: at least google-re2 in every cell; at least hyperscan at 1 MB with 1,000 and 10,000 phrases and half
of it with 20; a build within 1.5x of `re.compile`. A missed goal is reported; a verdict other than the
pattern's fails the run. google-re2 and hyperscan come from requirements-bench.txt (`make bench` installs
it); without them their columns are skipped with a note.

Four workloads are printed one after the other, in the same run, and the goals are assessed on each. In the
first, each later word of a phrase is one of the prose's in 30% of cases; the second takes later words never
from the prose, so that only the planted phrases match beyond their first word, which suits hyperscan's literal
prefilter best. The third and fourth are a Turkish and a Greek text, with capitals whose lower case is longer
(İ) or hangs on the neighbours (Σ), each with phrases of its own words.

Then engines taking turns: 8 and 16 engines of 200 phrases each (a manager with one engine per topic or per
tenant), each checking its own message in turn, messages of 300 B and of 10 KB, beside one engine checking the
same messages alone and beside google-re2 running the engines' patterns in the same turns. Goals: turns at 0.8x
of the engine alone or better, and at least google-re2.

Then the cliffs: texts and phrase lists that once sent the engine off its fast path, each beside its control
(the same text and phrases without the trigger) where it has one, with the goal of at least google-re2 and at
least half the control's speed: a character whose lower case is longer at the end of the text, the phrases
rebound to a tuple or to equal texts as new objects (a reloaded configuration), Greek capitals whose final sigma
decides the matched phrase, a long phrase whose words repeat in the text, and phrases whose first three words
match everywhere.

Options run a subset, for measuring one change: `--workload TEXT` and `--cliff TEXT` keep the workloads and
cliff rows whose titles hold the text ('none' for none), `--phrases N` and `--size LABEL` keep those cells, and
`--turns TEXT` keeps the rows of engines taking turns whose titles hold the text ('none' for none),
`--no-build` skips the build timing; for example `phrase_bench.py --workload greek --phrases 10000 --cliff none`.
"""

import argparse
import asyncio
import gc
import os
import random
import re
import sys
import time

os.environ.setdefault("NEMO_GUARDRAILS_NO_USAGE_STATS", "1")
os.environ.setdefault("DO_NOT_TRACK", "1")

from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine  # noqa: E402

try:
    import re2
except ImportError:
    re2 = None
try:
    import hyperscan
except ImportError:
    hyperscan = None

PREFIX = "Content contains banned phrases: "
PHRASE_COUNTS = (20, 1000, 10000)
SIZES = ((100, "100 B"), (10_000, "10 KB"), (1_000_000, "1 MB"))
ROUNDS = 5
ROUND_SECONDS = 0.05  # each contender repeats its call for about this long per round

PROSE = """
The committee met on Tuesday to review the quarterly report, and most members agreed that the new
policy had worked better than expected. Sales rose in every region except the north, where a long
winter kept customers at home. Our team will present a revised plan next month; until then, please
send questions to the office manager. She said the budget would cover two more engineers, a larger
server and the training that staff asked for last year. Nobody expected the old system to last this
long, but it still handles most of the daily traffic without trouble. When the meeting ended, a few
people stayed to talk about the schedule for the summer, the price of travel and the weather.
""".split()
EXTRAS = ["\u2014", "\u201cgood\u201d", "it\u2019s", "\u20ac40", "caf\u00e9", "na\u00efve"]


TURKISH = """
İstanbul ve İzmir arasında her gün yüzlerce otobüs çalışıyor. İlçe belediyesi yeni bir park açtı; ışıklar
akşam yedide yanıyor ve çocuklar ılık havada dışarıda oynuyor. Öğretmen İngilizce dersini iptal etti, çünkü
sınıfın ısıtıcısı bozuldu. İşçiler köprünün altındaki yolu onarıyor. Kızım iğne ile düğme dikmeyi öğrendi.
İNDİRİM haftası başladığında mağazalar İLGİNÇ fiyatlar sundu ve ŞEHİR merkezi kalabalıklaştı.
""".split()
GREEK = """
Ο ΛΟΓΟΣ του δασκάλου ήταν σαφής: ο δρόμος προς την ΠΟΛΗ είναι κλειστός ΛΟΓΩ της ΒΡΟΧΗΣ. Οι ΚΑΤΟΙΚΟΙ της
περιοχής ζητούν ΝΕΟΥΣ ΔΡΟΜΟΥΣ και καλύτερους ΣΤΑΘΜΟΥΣ. Ο ΠΡΟΕΔΡΟΣ ΤΟΥ ΣΥΛΛΟΓΟΥ είπε ότι ο ΤΟΠΙΚΟΣ
ΤΥΠΟΣ γράφει για ΤΟΥΣ ΝΕΟΥΣ ΝΟΜΟΥΣ. Στις ΔΙΑΚΟΠΕΣ οι ΦΙΛΟΙ μας έρχονται από την Αθήνα με το ΠΛΟΙΟ.
""".split()
# (vocabulary, extras, share of later phrase words taken from the text, title)
WORKLOADS = ((PROSE, EXTRAS, 0.3, "English prose, later phrase words from the prose in 30% of cases"),
             (PROSE, EXTRAS, 0.0, "English prose, later phrase words never in the prose"),
             (TURKISH, [], 0.3, "Turkish text with capital İ, later phrase words from it in 30% of cases"),
             (GREEK, [], 0.3, "Greek text with capitals and final sigma, later phrase words from it in 30% of cases"))


def prose(size, planted, seed, vocabulary=PROSE, extras=EXTRAS):
    """Text of `size` UTF-8 bytes (within one character) made of the vocabulary's words, with the planted
    phrases in it."""
    rng = random.Random(seed)
    words, total = [], 0
    while total < size:
        word = rng.choice(vocabulary) if not extras or rng.random() > 0.01 else rng.choice(extras)
        words.append(word)
        total += len(word.encode()) + 1
    for phrase in planted:
        words.insert(rng.randrange(len(words) + 1), phrase.upper() if rng.random() < 0.5 else phrase)
    return " ".join(words).encode()[:size].decode(errors="ignore")


def phrase_list(count, later_common=0.3, seed=11, vocabulary=PROSE):
    """`count` distinct phrases of two or three words, made of the text's own words and of words that it never
    holds: the first word is one of the text's in 60% of cases, each later word in `later_common`."""
    if count == len(PhraseMatcherEngine.DEFAULT_BANNED_PHRASES) and vocabulary is PROSE:
        return list(PhraseMatcherEngine.DEFAULT_BANNED_PHRASES)
    rng = random.Random(seed)
    common = sorted({w.strip(".,;:").lower() for w in vocabulary} - {""})
    letters = "abcdefghijklmnopqrstuvwxyz" if vocabulary is PROSE else sorted(c for c in set("".join(common)) if c.isalpha())

    def rare():
        return "".join(rng.choice(letters) for _ in range(rng.randint(4, 9)))

    phrases = set()
    while len(phrases) < count:
        words = [rng.choice(common) if rng.random() < 0.6 else rare()]
        words += [rng.choice(common) if rng.random() < later_common else rare() for _ in range(rng.randint(1, 2))]
        phrases.add(" ".join(words))
    phrases = sorted(phrases)
    rng.shuffle(phrases)
    return [p.title() if i % 7 == 0 else p for i, p in enumerate(phrases)]


def best_rates(size_bytes, contenders):
    """MB/s of each contender: best of ROUNDS rounds, the contenders alternating within each round."""
    repeats = []
    for fn in contenders:
        start, n = time.perf_counter(), 0
        while time.perf_counter() - start < ROUND_SECONDS / 5:
            fn()
            n += 1
        repeats.append(max(1, int(n * 5 * ROUND_SECONDS / (time.perf_counter() - start) / 5)))
    best = [float("inf")] * len(contenders)
    for _ in range(ROUNDS):
        for k, fn in enumerate(contenders):
            start = time.perf_counter()
            for _ in range(repeats[k]):
                fn()
            best[k] = min(best[k], (time.perf_counter() - start) / repeats[k])
    return [size_bytes / 1e6 / t for t in best]


def expected_reason(engine, text):
    matches = engine.banned_phrases_regex.findall(text.lower())
    if not matches:
        return None
    detected = {next((p for p in engine.banned_phrases if p.lower() == m), None) for m in set(matches)}
    return detected - {None}


def reason_set(result):
    return None if result.is_safe else set(result.reason[len(PREFIX):].split(", ")) - {""}


def re2_contender(pattern_text, data):
    """The scan, and the phrases (case-folded) that it finds."""
    options = re2.Options()
    options.case_sensitive = False
    options.max_mem = 1 << 30
    compiled = re2.compile(pattern_text, options)
    scan = lambda: compiled.findall(data)  # noqa: E731
    return scan, lambda: {m.decode().casefold() for m in scan()}


def hyperscan_contender(phrases, data):
    db = hyperscan.Database(mode=hyperscan.HS_MODE_BLOCK)
    flags = hyperscan.HS_FLAG_CASELESS | hyperscan.HS_FLAG_UTF8 | hyperscan.HS_FLAG_SINGLEMATCH
    db.compile(expressions=[rb"\b" + re.escape(p.lower()).encode() + rb"\b" for p in phrases],
               ids=list(range(len(phrases))), flags=[flags] * len(phrases))
    found = []

    def on_match(pattern_id, start, end, flags, context):
        found.append(pattern_id)

    def scan():
        found.clear()
        db.scan(data, match_event_handler=on_match)
        return found

    return scan, lambda: {phrases[k].casefold() for k in scan()}


def build_times(phrases, rounds=5):
    """Best seconds of building an engine and of `re.compile` of its pattern, each without `re`'s cache,
    alternating. Each starts from the same state: `re`'s cache emptied and the collector run, so that
    neither pays for a collection of what the run before it left (after the workloads, that is a large heap)."""
    PhraseMatcherEngine(banned_phrases=phrases[:10], use_spacy=False)  # the process-wide tables, loaded once
    pattern_text = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False).banned_phrases_regex.pattern
    builds = (lambda: PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False),
              lambda: re.compile(pattern_text, re.IGNORECASE))
    best = [float("inf")] * len(builds)
    for _ in range(rounds):
        for k, build in enumerate(builds):
            re.purge()
            gc.collect()
            start = time.perf_counter()
            build()
            best[k] = min(best[k], time.perf_counter() - start)
    return tuple(best)


def engine_contender(loop, engine, text):
    """Checks of the text; many per call of the loop for small texts, so that they measure the check and not the
    loop. Returns the contender and the number of checks per call."""
    checks_per_call = 100 if len(text) < 100_000 else 1

    async def checks():
        for _ in range(checks_per_call):
            result = await engine.check_input(content=text)
        return result

    return (lambda: loop.run_until_complete(checks())), checks_per_call


def peers(pattern, phrases, data):
    """The peers' contenders for the text's bytes, each a scan and the phrases it finds, with None for a peer that
    is not installed."""
    return (re2_contender(pattern.pattern, data) if re2 is not None else None,
            hyperscan_contender(phrases, data) if hyperscan is not None else None)


def check_verdict(loop, engine, text, where, wrong):
    result = loop.run_until_complete(engine.check_input(content=text))
    expected = expected_reason(engine, text)
    if reason_set(result) != expected:
        wrong.append(f"{where}: verdict {result.reason!r}, pattern {expected!r}")


def pattern_finds(engine, text):
    """The phrases (case-folded) that the pattern matches in the lower-cased text."""
    return {m.casefold() for m in engine.banned_phrases_regex.findall(text.lower())}


def finds(peer, expected):
    """How many of the pattern's matched phrases the peer found, as 'found/all'."""
    return f"{len(peer[1]() & expected)}/{len(expected)}" if peer else "-"


def below(peer, expected, name):
    """The words of a goal missed against a peer, with how much of the job that peer did."""
    found = len(peer[1]() & expected)
    if found == len(expected):
        return f"below {name}"
    return f"below {name}, which found {found} of the {len(expected)} phrases the pattern finds"


def rates_of(size_bytes, contenders):
    """MB/s of each contender given as (function, calls it stands for), None where there is none."""
    present = [c for c in contenders if c is not None]
    rates = iter(best_rates(size_bytes, [fn for fn, _ in present]))
    return [next(rates) * c[1] if c is not None else None for c in contenders]


def cell(rate, other, found):
    return (f" {other:>9.1f} {rate / other:>6.2f}x" if other else f" {'-':>9} {'-':>7}") + f" {found:>11}"


def run_workload(loop, vocabulary, extras, later_common, title, wrong, missed, counts=PHRASE_COUNTS, sizes=SIZES):
    """One table: every cell of phrases x text size, verdicts checked against the pattern."""
    print(f"\n{title}")
    print(f"{'phrases':>8} {'text':>6} {'engine MB/s':>12} {'re2 MB/s':>9} {'x re2':>7} {'re2 finds':>11}"
          f" {'hs MB/s':>9} {'x hs':>7} {'hs finds':>11}")
    for count in counts:
        phrases = phrase_list(count, later_common, vocabulary=vocabulary)
        engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
        pattern = engine.banned_phrases_regex
        for size, label in sizes:
            planted = [] if size < 1000 else random.Random(size + count).sample(phrases, 3)
            text = prose(size, planted, seed=size * 31 + count, vocabulary=vocabulary, extras=extras)
            data = text.encode()
            check_verdict(loop, engine, text, f"{title}, {count} phrases, {label}", wrong)
            re2_peer, hs_peer = peers(pattern, phrases, data)
            rate, re2_rate, hs_rate = rates_of(len(data), [engine_contender(loop, engine, text),
                                                           re2_peer and (re2_peer[0], 1), hs_peer and (hs_peer[0], 1)])
            expected = pattern_finds(engine, text)
            print(f"{count:>8} {label:>6} {rate:>12.1f}" + cell(rate, re2_rate, finds(re2_peer, expected))
                  + cell(rate, hs_rate, finds(hs_peer, expected)), flush=True)
            if re2_rate and rate < re2_rate:
                missed.append(f"{title}, {count} phrases, {label}: {below(re2_peer, expected, 'google-re2')}")
            if hs_rate and size == 1_000_000:
                need = 0.5 if count == 20 else 1.0
                if rate < need * hs_rate:
                    missed.append(f"{title}, {count} phrases, {label}: "
                                  f"{below(hs_peer, expected, f'{need:g}x hyperscan')}")


TURN_ENGINES = (8, 16)
TURN_SIZES = ((300, "300 B"), (10_000, "10 KB"))


def run_turns(loop, wrong, missed, wanted=lambda title: True):
    """Engines taking turns: each checks its own message, one after the other, in one coroutine; beside the first
    engine checking the same messages alone, and google-re2 running each engine's pattern over its message."""
    print("\nengines taking turns: each engine of 200 phrases checks its own message, one after the other")
    print(f"{'row':<22} {'turns MB/s':>11} {'alone MB/s':>11} {'x alone':>8} {'re2 MB/s':>9} {'x re2':>7}")
    for count in TURN_ENGINES:
        lists = [phrase_list(200, seed=100 + k) for k in range(count)]
        engines = [PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False) for phrases in lists]
        for size, label in TURN_SIZES:
            title = f"{count} engines, {label}"
            if not wanted(title):
                continue
            texts = [prose(size, [] if size < 1000 else random.Random(size + k).sample(lists[k], 3),
                           seed=size * 7 + k) for k in range(count)]
            for k, (engine, text) in enumerate(zip(engines, texts)):
                check_verdict(loop, engine, text, f"{title}, engine {k}", wrong)
            passes = max(1, 30_000 // (size * count))

            def checking(chosen):
                async def checks():
                    for _ in range(passes):
                        for engine, text in zip(chosen, texts):
                            await engine.check_input(content=text)
                return lambda: loop.run_until_complete(checks())

            re2_turns = None
            if re2 is not None:
                scans = [re2_contender(engine.banned_phrases_regex.pattern, text.encode())[0]
                         for engine, text in zip(engines, texts)]

                def re2_turns():
                    for scan in scans:
                        scan()
            data_bytes = sum(len(text.encode()) for text in texts)
            rate, alone, re2_rate = rates_of(data_bytes, [(checking(engines), passes),
                                                          (checking([engines[0]] * count), passes),
                                                          re2_turns and (re2_turns, 1)])
            re2_shown = f" {re2_rate:>9.1f} {rate / re2_rate:>6.2f}x" if re2_rate else f" {'-':>9} {'-':>7}"
            print(f"{title:<22} {rate:>11.1f} {alone:>11.1f} {rate / alone:>7.2f}x" + re2_shown, flush=True)
            if rate < 0.8 * alone:
                missed.append(f"{title}: turns at {rate / alone:.2f}x of the engine alone")
            if re2_rate and rate < re2_rate:
                missed.append(f"{title}: turns below google-re2")


def greek_capitals(count=107, size=1_000_000, seed=5):
    """Phrases of two Greek words ending in a final sigma, and Greek text in capitals holding many of them."""
    rng = random.Random(seed)
    stems = ["λογ", "δρομ", "νομ", "σταθμ", "φιλ", "τυπ", "κατοικ", "προεδρ", "συλλογ", "τοπικ", "ουραν", "ηλι"]
    endings = ["ος", "ους", "ες", "ας", "ης"]
    phrases = set()
    while len(phrases) < count:
        phrases.add(" ".join(rng.choice(stems) + rng.choice(endings) for _ in range(2)))
    phrases = sorted(phrases)
    words, total = [], 0
    while total < size:
        word = (rng.choice(phrases) if rng.random() < 0.2 else rng.choice(GREEK)).upper()
        words.append(word)
        total += len(word.encode()) + 1
    return phrases, " ".join(words).encode()[:size].decode(errors="ignore")


def long_repeating_phrase(count=500, size=1_000_000):
    """A 30-word phrase 'a a ... a b' among other phrases, over the text 'a a a ...'."""
    phrases = [" ".join(["a"] * 29 + ["b"])] + phrase_list(count - 1)
    return phrases, ("a " * (size // 2))[:size]


def three_of_four(count=1000, size=1_000_000, seed=9):
    """Phrases of four words whose first three are words of the text, which is made of few words, so that three
    of a phrase's words match almost everywhere; the fourth is never in the text."""
    rng = random.Random(seed)
    vocabulary = ["the", "new", "plan", "will", "cover", "two", "more", "staff", "next", "year"]
    phrases = set()
    while len(phrases) < count:
        rare = "".join(rng.choice("bcdfghjklmnpqrstvwxz") for _ in range(rng.randint(5, 8)))
        phrases.add(" ".join([rng.choice(vocabulary) for _ in range(3)] + [rare]))
    words, total = [], 0
    while total < size:
        words.append(rng.choice(vocabulary))
        total += len(words[-1]) + 1
    return sorted(phrases), " ".join(words)[:size]


def cliff_cases():
    """(title, phrases, control text or None, text with the trigger, rebinding of the phrases or None)."""
    cases = []
    for count, size, label in ((500, 10_000, "10 KB"), (5000, 10_000, "10 KB"), (5000, 1_000_000, "1 MB")):
        phrases = phrase_list(count)
        text = prose(size, random.Random(size + count).sample(phrases, 3), seed=size * 31 + count)
        cases.append((f"{count} phrases, {label}; one İ at the end", phrases, text, text[:-1] + "İ", None))
    for count in (500, 5000):
        phrases = phrase_list(count)
        text = prose(10_000, random.Random(count).sample(phrases, 3), seed=count)
        cases.append((f"{count} phrases, 10 KB; rebound as a tuple", phrases, text, text, tuple))
        cases.append((f"{count} phrases, 10 KB; rebound to equal new texts", phrases, text, text,
                      lambda ps: [(p + "\x00")[:-1] for p in ps]))
    for title, (phrases, text) in (
            ("Greek capitals, final sigma in the matches, 107 phrases, 1 MB", greek_capitals()),
            ("a 30-word phrase 'a a ... a b' over 'a a a ...', 500 phrases, 1 MB", long_repeating_phrase()),
            ("3 of a phrase's 4 words match everywhere, 1,000 phrases, 1 MB", three_of_four())):
        cases.append((title, phrases, None, text, None))
    return cases


def run_cliffs(loop, wrong, missed, wanted=lambda title: True):
    print("\ncliffs: each trigger beside its control (the same text and phrases without it)")
    print(f"{'case':<66} {'control':>8} {'trigger':>8} {'ratio':>6} {'re2 MB/s':>9} {'x re2':>7} {'re2 finds':>11}"
          f" {'hs MB/s':>9} {'x hs':>7} {'hs finds':>11}")
    for title, phrases, control, text, rebind in cliff_cases():
        if not wanted(title):
            continue
        engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
        triggered = engine
        if rebind is not None:
            triggered = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
            triggered.banned_phrases = rebind(phrases)
        check_verdict(loop, triggered, text, title, wrong)
        data = text.encode()
        re2_peer, hs_peer = peers(engine.banned_phrases_regex, phrases, data)
        contenders = [engine_contender(loop, engine, control) if control is not None else None,
                      engine_contender(loop, triggered, text), re2_peer and (re2_peer[0], 1), hs_peer and (hs_peer[0], 1)]
        control_rate, rate, re2_rate, hs_rate = rates_of(len(data), contenders)
        ratio = f"{rate / control_rate:>5.2f}x" if control_rate else f"{'-':>6}"
        shown = f"{control_rate:>8.1f}" if control_rate else f"{'-':>8}"
        expected = pattern_finds(engine, text)
        print(f"{title:<66} {shown} {rate:>8.1f} {ratio}" + cell(rate, re2_rate, finds(re2_peer, expected))
              + cell(rate, hs_rate, finds(hs_peer, expected)), flush=True)
        if re2_rate and rate < re2_rate:
            missed.append(f"{title}: {below(re2_peer, expected, 'google-re2')}")
        if control_rate and rate < 0.5 * control_rate:
            missed.append(f"{title}: below half of its control")


def options():
    """A subset of the run, for measuring one change; by default everything."""
    parser = argparse.ArgumentParser(description="Phrase-matcher throughput beside google-re2 and hyperscan.")
    parser.add_argument("--workload", action="append", metavar="TEXT",
                        help="only the workloads whose title holds TEXT (any case); repeatable; 'none' for none")
    parser.add_argument("--phrases", action="append", type=int, choices=PHRASE_COUNTS, help="only these phrase counts")
    parser.add_argument("--size", action="append", choices=[label for _, label in SIZES], help="only these text sizes")
    parser.add_argument("--cliff", action="append", metavar="TEXT",
                        help="only the cliff rows whose title holds TEXT (any case); repeatable; 'none' for none")
    parser.add_argument("--turns", action="append", metavar="TEXT",
                        help="only the rows of engines taking turns whose title holds TEXT (any case); 'none' for none")
    parser.add_argument("--no-build", action="store_true", help="skip the build timing")
    return parser.parse_args()


def holds_any(wanted):
    """Whether a title holds one of the wanted texts, any case (every title when none are given)."""
    return lambda title: wanted is None or any(w.lower() in title.lower() for w in wanted)


def main():
    args = options()
    if re2 is None or hyperscan is None:
        missing = " and ".join(n for n, m in (("google-re2", re2), ("hyperscan", hyperscan)) if m is None)
        print(f"note: {missing} not installed, comparison skipped (pip install -r requirements-bench.txt)")
    loop = asyncio.new_event_loop()
    wrong, missed = [], []
    counts = tuple(args.phrases or PHRASE_COUNTS)
    sizes = tuple(s for s in SIZES if args.size is None or s[1] in args.size)
    for vocabulary, extras, later_common, title in WORKLOADS:
        if holds_any(args.workload)(title):
            run_workload(loop, vocabulary, extras, later_common, title, wrong, missed, counts, sizes)
    run_turns(loop, wrong, missed, holds_any(args.turns))
    run_cliffs(loop, wrong, missed, holds_any(args.cliff))
    loop.close()

    if not args.no_build:
        engine_seconds, compile_seconds = build_times(phrase_list(10000))
        ratio = engine_seconds / compile_seconds
        print(f"\nbuild, 10000 phrases: engine {engine_seconds * 1e3:.1f} ms, re.compile {compile_seconds * 1e3:.1f} ms, "
              f"ratio {ratio:.2f}x")
        if ratio > 1.5:
            missed.append(f"building an engine takes {ratio:.2f}x re.compile")
    for line in missed:
        print("goal missed:", line)
    for line in wrong:
        print("WRONG VERDICT:", line)
    if not wrong:
        print("verdicts: the pattern's in every cell")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
