"""Writes the case tables that folding uses, taken from the running interpreter.

    python generate_unicode_tables.py OUTPUT.hpp [--expect-version X.Y.Z]

Every value comes from this interpreter's own str.lower(), so the folding
built on the tables lower-cases exactly as this interpreter does:

- the full lower-case form of every code point, alone (one to three code
  points);
- the class of every code point for the final-sigma rule. str.lower() reads
  two properties there, Case_Ignorable and Cased, which unicodedata does not
  expose; they are learnt from how str.lower() treats a capital sigma beside
  the code point. The rule skips case-ignorable code points and then asks
  whether the first other one is cased, so three classes are all it needs:
  ignorable, cased, other.

The script also checks what the folding code takes for granted, and stops
the build with a message when a Unicode version breaks one of them.

The output is a C++ header of two-stage tables: each code point's block of
code points goes through the first stage to a shared block of record
numbers in the second; a record holds the lower-case form (as a difference,
or as a number in the list of longer forms) and the flags.
"""
import argparse
import sys
import unicodedata
from pathlib import Path

CODE_POINTS = 0x110000
CAPITAL_SIGMA, SMALL_SIGMA, FINAL_SIGMA = 0x3A3, 0x3C3, 0x3C2
LONGEST_FORM = 3
OTHER, CASED, IGNORABLE = 0, 1, 2
CLASS_NAMES = {OTHER: "other", CASED: "cased", IGNORABLE: "ignorable"}
CHANGES = 4  # record flag: lower-casing changes the code point
# The code points that trimming treats as white space.
WHITE_SPACE = {*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028, 0x2029, 0x202F,
               0x205F, 0x3000}


class Broken(Exception):
    """A property of str.lower() that the folding code relies on does not hold."""


def require(condition, message, *arguments):
    # The message is formatted only on failure: this runs millions of times.
    if not condition:
        raise Broken(message.format(*arguments))


def case_class(character):
    """The final-sigma class of one code point, read off str.lower()."""
    # Alone before a capital sigma: final only if the code point is cased
    # and not case-ignorable (an ignorable one is skipped and nothing is left).
    cased = (character + "\u03a3").lower()[-1] == "\u03c2"
    # After a cased letter: final also when the code point is skipped.
    cased_or_skipped = ("a" + character + "\u03a3").lower()[-1] == "\u03c2"
    # After the sigma: final unless the code point is cased and not skipped.
    after = ("a\u03a3" + character).lower()[1] == "\u03c2"
    return class_of(cased, cased_or_skipped, after, character)


def class_of(cased, cased_or_skipped, after, character):
    require(after == (not cased), "U+{:04X} reads differently before and after a capital sigma", ord(character))
    if cased:
        return CASED
    return IGNORABLE if cased_or_skipped else OTHER


def lower_form(character):
    """The lower-case form of one code point, checked to read no neighbour."""
    lowered = character.lower()
    check_form(character, lowered, [(side + character + side).lower() for side in SIDES])
    return lowered


def check_form(character, lowered, beside_sides):
    require(1 <= len(lowered) <= LONGEST_FORM, "U+{:04X} lower-cases to {} code points; folding takes at most {}",
            ord(character), len(lowered), LONGEST_FORM)
    if character != "\u03a3":
        # Only a capital sigma reads its neighbours: beside a cased letter
        # and beside a space, every other code point lower-cases alone.
        for side, beside in zip(SIDES, beside_sides):
            require(beside == side + lowered + side, "U+{:04X} lower-cases differently beside {!r}", ord(character),
                    side)


# The code points are lower-cased a million at a time, joined by a separator
# that lower-cases to itself and is neither cased nor case-ignorable: to the
# final-sigma rule it ends a context as the end of a string does, so each
# joined piece lower-cases as it would alone. (One str.lower() per code point
# took most of the build's first seconds.)
SEPARATOR = "\0"
SIDES = ("a", " ")


def lowered_each(strings):
    """str.lower() of each of STRINGS, none of which holds the separator."""
    pieces = SEPARATOR.join(strings).lower().split(SEPARATOR)
    require(len(pieces) == len(strings), "a code point lower-cases to a form with U+{:04X}", ord(SEPARATOR))
    return pieces


def lower_forms_and_classes():
    """The lower-case form (a str) and final-sigma class of every code point."""
    require(SEPARATOR.lower() == SEPARATOR and ("a" + SEPARATOR + "\u03a3").lower() == "a" + SEPARATOR + "\u03c3" and
            ("a\u03a3" + SEPARATOR + "a").lower() == "a\u03c2" + SEPARATOR + "a",
            "U+{:04X} is cased or case-ignorable, or changes under lower-casing", ord(SEPARATOR))
    characters = [chr(code_point) for code_point in range(CODE_POINTS) if code_point != ord(SEPARATOR)]
    forms = lowered_each(characters)
    beside = [lowered_each([side + character + side for character in characters]) for side in SIDES]
    # Compared whole; the checks of one code point at a time find the fault.
    if (min(map(len, forms)) < 1 or max(map(len, forms)) > LONGEST_FORM or
            any(pieces != [side + lowered + side for lowered in forms] for side, pieces in zip(SIDES, beside))):
        for index, (character, lowered) in enumerate(zip(characters, forms)):
            check_form(character, lowered, [pieces[index] for pieces in beside])
    final = "\u03c2"
    cased = [piece[-1] == final for piece in lowered_each([character + "\u03a3" for character in characters])]
    cased_or_skipped = [piece[-1] == final for piece in lowered_each(["a" + c + "\u03a3" for c in characters])]
    after = [piece[1] == final for piece in lowered_each(["a\u03a3" + character for character in characters])]
    classes = [OTHER if not c and not s and a else class_of(c, s, a, character)
               for character, c, s, a in zip(characters, cased, cased_or_skipped, after)]
    separator = ord(SEPARATOR)
    forms.insert(separator, lower_form(SEPARATOR))
    classes.insert(separator, case_class(SEPARATOR))
    return forms, classes


def check_assumptions(forms, classes, changed):
    """What the folding code relies on, checked for this Unicode version.
    A code point that lower-cases to itself meets each of them unless it is
    an ASCII capital, so the others are passed over."""
    for code_point in sorted(set(changed) | set(range(0x80))):
        form = [ord(c) for c in forms[code_point]]
        # A text of one code unit per code point keeps its unit width when
        # folded: Latin-1 through a map of 256 bytes, the BMP in 16 bits.
        if code_point < 0x100:
            require(len(form) == 1 and form[0] < 0x100, "U+{:04X} does not lower-case to one code point below 256",
                    code_point)
        if code_point < 0x10000:
            require(max(form) < 0x10000, "U+{:04X} lower-cases beyond the BMP", code_point)
        # ASCII is folded a vector at a time with A-Z as its only capitals.
        if code_point < 0x80:
            expected = code_point + 0x20 if 0x41 <= code_point <= 0x5A else code_point
            require(form == [expected], "U+{:04X} lower-cases to {}, not as ASCII is folded", code_point, form)
        # Line feeds become spaces before lower-casing, and nothing brings
        # one back.
        if code_point != 0x0A:
            require(0x0A not in form, "U+{:04X} lower-cases to a form with a line feed", code_point)
        # Folding neither makes nor removes white space, which trimming and
        # the command's boundaries read.
        if code_point in WHITE_SPACE:
            require(form == [code_point], "white space U+{:04X} changes under lower-casing", code_point)
        else:
            require(WHITE_SPACE.isdisjoint(form), "U+{:04X} lower-cases to a form with white space", code_point)
    # Lower-casing a line feed's stand-in must not change the final-sigma
    # context around it.
    require(classes[0x0A] == classes[0x20] == OTHER, "a line feed or a space takes part in a final-sigma context")
    require(forms[CAPITAL_SIGMA] == chr(SMALL_SIGMA) and classes[CAPITAL_SIGMA] == CASED,
            "a capital sigma does not lower-case to a small sigma alone, or is not cased")
    require(("a\u03a3").lower() == "a\u03c2", "a capital sigma after a letter is not a final sigma")


def split_in_blocks(values, shift):
    """First stage (block numbers) and second stage (the distinct blocks)."""
    size = 1 << shift
    numbers, blocks, first_stage = {}, [], []
    for start in range(0, len(values), size):
        block = tuple(values[start:start + size])
        if block not in numbers:
            numbers[block] = len(blocks)
            blocks.append(block)
        first_stage.append(numbers[block])
    return first_stage, [value for block in blocks for value in block]


def unsigned_type(largest):
    for bits in (8, 16, 32):
        if largest < 1 << bits:
            return f"std::uint{bits}_t", bits // 8
    raise Broken(f"a table value of {largest} needs more than 32 bits")


def smallest_split(values):
    best = None
    _, record_bytes = unsigned_type(max(values))
    for shift in range(4, 12):
        first, second = split_in_blocks(values, shift)
        _, first_bytes = unsigned_type(max(first))
        size = len(first) * first_bytes + len(second) * record_bytes
        if best is None or size < best[0]:
            best = (size, shift, first, second)
    return best[1:]


def c_array(type_name, name, values, per_line=16):
    lines = [", ".join(str(value) for value in values[i:i + per_line]) for i in range(0, len(values), per_line)]
    body = ",\n    ".join(lines)
    return f"inline constexpr {type_name} {name}[{len(values)}] = {{\n    {body}}};\n"


def generate():
    forms, classes = lower_forms_and_classes()
    changed = [code_point for code_point, form in enumerate(forms) if form != chr(code_point)]
    check_assumptions(forms, classes, changed)

    expansions = [()]  # number 0: a form of one code point
    expansion_numbers = {}
    records = [(0, OTHER, 0)]  # record 0: what every code point beyond the tables is
    record_numbers = {records[0]: 0}
    # A code point that lower-cases to itself and is of class other takes
    # record 0: only the others are looked at, in order.
    record_of = [0] * CODE_POINTS
    for code_point in sorted(set(changed) | {c for c, case in enumerate(classes) if case != OTHER}):
        form, case = [ord(c) for c in forms[code_point]], classes[code_point]
        flags = case | (CHANGES if form != [code_point] else 0)
        if len(form) == 1:
            record = (form[0] - code_point, flags, 0)
        else:
            key = tuple(form)
            if key not in expansion_numbers:
                expansion_numbers[key] = len(expansions)
                expansions.append(key)
            record = (0, flags, expansion_numbers[key])
        if record not in record_numbers:
            record_numbers[record] = len(records)
            records.append(record)
        record_of[code_point] = record_numbers[record]
    require(len(expansions) < 256, "more than 255 distinct longer lower-case forms")

    # Beyond this, nothing changes under lower-casing: folding keeps one bit
    # per code point below it.
    changes_limit = (max(changed) // 64 + 1) * 64

    shift, first_stage, second_stage = smallest_split(record_of)
    first_type, first_bytes = unsigned_type(max(first_stage))
    second_type, second_bytes = unsigned_type(max(second_stage))
    table_bytes = (len(first_stage) * first_bytes + len(second_stage) * second_bytes + len(records) * 8 +
                   len(expansions) * 16)

    out = [
        "// Generated by scripts/generate_unicode_tables.py from the Unicode database of",
        f"// Python {sys.version.split()[0]} (Unicode {unicodedata.unidata_version}). Do not edit.",
        f"// {len(records)} records, {len(expansions) - 1} longer forms, blocks of {1 << shift} code points,",
        f"// {table_bytes} bytes of tables.",
        "#pragma once",
        "",
        "#include <cstdint>",
        "",
        "namespace tessarin::unicode::data {",
        "",
        f'inline constexpr char unicode_version[] = "{unicodedata.unidata_version}";',
        f"inline constexpr unsigned block_shift = {shift};",
        f"inline constexpr unsigned longest_form = {LONGEST_FORM};",
        f"inline constexpr unsigned flag_changes = {CHANGES};",
        "// One past the last code point that lower-casing changes, a multiple of 64.",
        f"inline constexpr char32_t changes_limit = 0x{changes_limit:X};",
        f"inline constexpr std::uint32_t table_bytes = {table_bytes};",
        "",
        "// One record per distinct (lower-case difference, flags, longer form):",
        f"// flags hold the final-sigma class ({', '.join(f'{v} {n}' for n, v in CLASS_NAMES.items())}) and",
        "// flag_changes; a longer form is numbered from 1 in `expansions`.",
        "struct Record {",
        "    std::int32_t delta;",
        "    std::uint8_t flags;",
        "    std::uint8_t expansion;",
        "};",
        "struct Expansion {",
        "    std::uint8_t length;",
        "    char32_t code_points[longest_form];",
        "};",
        "",
        f"inline constexpr Record records[{len(records)}] = {{",
        *(f"    {{{delta}, {flags}, {expansion}}}," for delta, flags, expansion in records),
        "};",
        f"inline constexpr Expansion expansions[{len(expansions)}] = {{",
        *("    {%d, {%s}}," % (len(form), ", ".join(f"0x{c:X}" for c in form) or "0") for form in expansions),
        "};",
        c_array(first_type, "first_stage", first_stage),
        c_array(second_type, "second_stage", second_stage),
        "} // namespace tessarin::unicode::data",
        "",
    ]
    return "\n".join(out), table_bytes


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", type=Path)
    parser.add_argument("--expect-version", help="fail unless this is the running interpreter's version")
    arguments = parser.parse_args()
    running = "{}.{}.{}".format(*sys.version_info[:3])
    if arguments.expect_version and arguments.expect_version != running:
        sys.exit(f"error: the build asked for Python {arguments.expect_version}, this is {running}")
    try:
        text, table_bytes = generate()
    except Broken as failure:
        sys.exit(f"error: Unicode {unicodedata.unidata_version} breaks what folding relies on: {failure}")
    arguments.output.parent.mkdir(parents=True, exist_ok=True)
    # Rewritten only when it changes, so that a rerun rebuilds nothing.
    if not arguments.output.is_file() or arguments.output.read_text() != text:
        arguments.output.write_text(text)
    print(f"case tables of Unicode {unicodedata.unidata_version}: {table_bytes} bytes")


if __name__ == "__main__":
    main()
