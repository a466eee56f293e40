# SPDX-License-Identifier: MIT
"""docs/manifest.schema.json against the manifests we ship and document, and against
mutations of a small manifest: it must refuse what hosts skip (lint's errors) and accept
what hosts read, even where lint warns.

Usage: schema_test.py SOURCE_DIR. Prints "SKIP: ..." when python3-jsonschema is missing.
"""

import copy
import json
import pathlib
import re
import sys

try:
    from jsonschema import Draft202012Validator
except ImportError:
    print("SKIP: python3-jsonschema is not installed (apt-get install python3-jsonschema)")
    sys.exit(0)

DELETE = object()
RELEASE = "/apps/1"
SYSTEM = "/apps/0/os/0"
FILE = SYSTEM + "/files/0"
SETTING = SYSTEM + "/settings/0"

BASE = {
    "name": "Versions.json",
    "apps": [
        {"name": "Notes", "os": [{
            "name": "mac-arm64",
            "files": [{"version": "1.1.0", "filename": "tags.db", "location": "Resources",
                       "url": "https://example.com/notes/tags.db"}],
            "settings": [{"version": "1.1.0", "key": "format", "type": "int", "value": "2"}],
        }]},
        {"name": "Notes", "os": "mac-arm64", "version": "1.1.0", "changelog": "Tags.",
         "tip": True},
    ],
}

# (pointer, new value or DELETE, accepted). Refused rows are places lint reports as errors;
# accepted rows are what hosts read, lint warnings included.
MUTATIONS = [
    ("/name", "versions.json", False),
    ("/name", DELETE, False),
    ("/apps", {"Notes": []}, False),
    ("/apps/2", "Notes 1.2.0", False),
    (RELEASE + "/os", DELETE, False),
    (RELEASE + "/os", "", False),
    (RELEASE + "/name", "", False),
    (RELEASE + "/version", DELETE, False),
    ("/apps/0/name", DELETE, False),
    ("/apps/0/os/1", "linux-x86_64", False),
    (SYSTEM + "/name", DELETE, False),
    (SYSTEM + "/files", {"tags.db": "https://example.com/tags.db"}, False),
    (SYSTEM + "/settings", "format=2", False),
    (FILE, "tags.db", False),
    (FILE + "/version", "v1.1.0", False),
    (FILE + "/filename", None, False),
    (FILE + "/location", "", False),
    (FILE + "/url", ["https://example.com/notes/tags.db"], False),
    (FILE + "/url", "https://example.com:port/tags.db", False),
    (FILE + "/url", "https://-example.com/tags.db", False),
    (FILE + "/url", "cdn_host:8080/tags.db", False),
    (SETTING, 2, False),
    (SETTING + "/version", "1.1", False),
    (SETTING + "/key", DELETE, False),
    ("/$schema", "./manifest.schema.json", True),
    ("/apps", [], True),
    (RELEASE + "/os", "Mac-arm64", True),
    (RELEASE + "/tip", "True", True),
    (RELEASE + "/changelog", 5, True),
    (FILE + "/filename", 7, True),
    (FILE + "/url", "C:\\build\\tags.db", True),
    (FILE + "/url", "https://[::1]:8080/notes 1.1/tags.db", True),
    (SETTING + "/value", 2, True),
    # Release versions, against the rules by which hosts parse them.
    *((RELEASE + "/version", text, accepted) for text, accepted in [
        ("1.2", False), ("1.2.3\n", False), ("00.0.0-rc1", False), ("4294967296.0.0", False),
        ("\u0661.\u0662.\u0663", False), ("4294967295.0.0", True), ("1.4294967296.0", True),
        ("0.0.1", True), ("01.002.0003-", True), ("1.\u0662.3", True), ("1.2.3-beta\n2", True)]),
]


def mutated(pointer, value):
    manifest = copy.deepcopy(BASE)
    *path, last = pointer.split("/")[1:]
    parent = manifest
    for part in path:
        parent = parent[int(part) if isinstance(parent, list) else part]
    if isinstance(parent, list):
        last = int(last)
        if last == len(parent):
            parent.append(None)
    if value is DELETE:
        del parent[last]
    else:
        parent[last] = value
    return manifest


def documented(markdown):
    """The ```json blocks that are whole manifests, each with whether hosts read it clean:
    not when the ```console block after it is a lint run that reports an error."""
    blocks = re.findall(r"```(json|console)\n(.*?)```", markdown, re.S)
    for i, (kind, text) in enumerate(blocks):
        if kind != "json":
            continue
        document = json.loads(text)
        if not isinstance(document, dict) or "apps" not in document:
            continue
        after = blocks[i + 1] if i + 1 < len(blocks) else ("", "")
        linted = after[0] == "console" and "mzupdater lint" in after[1].split("\n")[0]
        yield document, not (linted and re.search(r"\berror: ", after[1]))


def main():
    source = pathlib.Path(sys.argv[1])
    schema = json.loads((source / "docs" / "manifest.schema.json").read_text(encoding="utf-8"))
    Draft202012Validator.check_schema(schema)
    validator = Draft202012Validator(schema)
    failures = []

    def expect(name, manifest, accepted):
        errors = [f"{'/'.join(map(str, e.absolute_path))}: {e.message}"[:160]
                  for e in validator.iter_errors(manifest)]
        if accepted and errors:
            failures.append(f"{name}: refused: {errors}")
        elif not accepted and not errors:
            failures.append(f"{name}: accepted")

    expect("BASE", BASE, True)
    example = source / "examples" / "Versions.json"
    expect(str(example), json.loads(example.read_text(encoding="utf-8")), True)
    docs = list(documented((source / "docs" / "manifest.md").read_text(encoding="utf-8")))
    for i, (manifest, clean) in enumerate(docs):
        expect(f"docs/manifest.md manifest {i + 1}", manifest, clean)
    for pointer, value, accepted in MUTATIONS:
        shown = "deleted" if value is DELETE else json.dumps(value)
        expect(f"{pointer} {shown}", mutated(pointer, value), accepted)

    if len(docs) < 4 or all(clean for _, clean in docs):
        failures.append(f"docs/manifest.md: {len(docs)} manifests found, expected the examples "
                        "and at least one that lint reports errors in")
    for failure in failures:
        print("FAIL:", failure)
    print(f"{len(docs)} documented manifests, {len(MUTATIONS)} mutations: "
          f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
