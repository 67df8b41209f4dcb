"""The verdict that the phrase-matcher engine's regular-expression matcher must reach, computed with the prepared
pattern's own `findall`."""

from hypothesis import settings

PREFIX = "Content contains banned phrases: "


def examples(count):
    """`count` examples at hypothesis's default of 100 a test, scaled with the loaded profile's `max_examples`:
    a profile shrinks or grows every phrase test's share at once."""
    return max(1, count * settings().max_examples // 100)


def reference_verdict(engine, text):
    """The regular-expression path's verdict computed with the pattern's own findall; the engine lists the
    phrases in the order in which their texts first matched."""
    matches = engine.banned_phrases_regex.findall(text.lower())
    if not matches:
        return None
    detected = []
    for matched in dict.fromkeys(matches):
        for phrase in engine.banned_phrases:
            if phrase.lower() == matched:
                detected.append(phrase)
                break
    return PREFIX + ", ".join(detected)
