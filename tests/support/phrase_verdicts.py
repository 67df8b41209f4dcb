"""The verdict that the phrase-matcher engine's regular-expression matcher must reach, computed with the prepared
pattern's own `findall`."""

PREFIX = "Content contains banned phrases: "


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
