#!/usr/bin/env python3
"""Prints the README's part on AT knowledge from resources/atcommands.json:
a Markdown table of the commands (forms, description), the result and error
codes the table holds and the answers the reply decoders read.

  at_table.py            print it
  at_table.py --check README.md
                         exit 1 (and show the difference) when the README's
                         part between the at-table markers is not what this
                         prints now
  at_table.py --write README.md
                         put it between the markers
"""
import difflib
import json
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
BEGIN = "<!-- at-table begin -->"
END = "<!-- at-table end -->"


def cell(text):
    return text.replace("|", "\\|")


def table(data):
    out = []
    out.append("The facts come from " + ", ".join(data["sources"]) + ".")
    out.append("")
    out.append("| Command | Forms | Description |")
    out.append("|---|---|---|")
    for command in data["commands"]:
        forms = []
        for form in command["forms"]:
            if form["kind"] == "unsolicited":
                forms.append("unsolicited `" + cell(form["response"]) + "`")
            else:
                forms.append("`" + cell(form["syntax"]) + "`")
        description = command["description"]
        if not command["source"][:1].isdigit() and not command["source"].startswith("V."):
            description += " (" + command["source"] + ")"
        out.append("| AT" + cell(command["name"]) + " | " + "<br>".join(forms) + " | " + cell(description) + " |")
    out.append("")
    results = ", ".join("%d %s" % (r["number"], r["verbose"]) for r in data["result_codes"])
    out.append("Result codes (V.250, numeric and verbose): " + results + ".")
    out.append("Error texts: %d `+CME ERROR` codes (TS 27.007 9.2) and %d `+CMS ERROR` codes (TS 27.005 3.2.5),"
               % (len(data["cme_errors"]), len(data["cms_errors"])))
    out.append("with the ranges " + ", ".join("%d..%s %s" % (r["from"], r["to"] if r["to"] < 2**31 - 1 else "",
                                                            r["text"]) for r in data["cms_error_ranges"]) + ".")
    out.append("")
    out.append("The reply decoders (`DecodeReplyLine`, `DecodeTransaction` in `src/atinfo/replydecoder.h`) read these")
    out.append("answers into fields with these keys:")
    out.append("")
    for answer in data["decoded_answers"]:
        out.append("- " + answer["answer"] + ": " + answer["keys"])
    return "\n".join(out) + "\n"


def readme_part(text):
    start = text.index(BEGIN) + len(BEGIN) + 1
    return text[start:text.index(END)]


def main(argv):
    data = json.loads((ROOT / "resources" / "atcommands.json").read_text(encoding="utf-8"))
    now = table(data)
    if len(argv) == 3 and argv[1] in ("--check", "--write"):
        path = pathlib.Path(argv[2])
        text = path.read_text(encoding="utf-8")
        if BEGIN not in text or END not in text:
            print("%s has no %s ... %s part" % (path, BEGIN, END))
            return 1
        if argv[1] == "--write":
            start = text.index(BEGIN) + len(BEGIN)
            path.write_text(text[:start] + "\n" + now + text[text.index(END):], encoding="utf-8")
            return 0
        part = readme_part(text)
        if part != now:
            sys.stdout.writelines(difflib.unified_diff(part.splitlines(True), now.splitlines(True),
                                                       "README.md", "tools/at_table.py"))
            print("The README's AT table is not what tools/at_table.py prints: run it with --write README.md")
            return 1
        print("at_table: the README's part matches resources/atcommands.json")
        return 0
    if len(argv) != 1:
        print(__doc__)
        return 2
    sys.stdout.write(now)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
