#!/usr/bin/python3
"""Checks every recorded answer of the daemon against the API's OpenAPI document.

Usage: check_answers.py OPENAPI_YAML ANSWERS_DIR

The process tests' HTTP client writes each answer it gets as one JSON line into ANSWERS_DIR
(tests/support/harness.cpp). Each must be documented: its route, its status, its content type,
whether it is no-store or an attachment, and a JSON body that its schema accepts. Prints every
distinct violation and fails when there is one; also lists the documented answers no test saw.
"""
import json
import pathlib
import sys
import urllib.parse
import warnings

import jsonschema
import yaml

PREFIX = "/local/ovra_vpn/api/vpn"
SHOWN_ERRORS = 30


def resolve(spec, node):
    """Follows a local $ref such as #/components/responses/Error."""
    while "$ref" in node:
        target = spec
        for part in node["$ref"].removeprefix("#/").split("/"):
            target = target[part]
        node = target
    return node


def documented_answer(spec, record):
    """The response object documented for the record's route and status, or an error text."""
    path = urllib.parse.urlsplit(record["target"]).path
    operation = None
    if path.startswith(PREFIX):
        operation = spec["paths"].get(path[len(PREFIX):], {}).get(record["method"].lower())
    if operation is None:
        # The server's catch-all for a method and path no route serves.
        if record["status"] == 404 and record["content_type"].startswith("text/html"):
            return None, None
        return None, "undocumented route"
    answer = operation["responses"].get(str(record["status"]))
    if answer is None:
        return None, "undocumented status"
    return resolve(spec, answer), None


def violations(spec, record, answer):
    headers = answer.get("headers", {})
    if ("Cache-Control" in headers) != (record["cache_control"] == "no-store"):
        yield "Cache-Control is %r, documented: %s" % (
            record["cache_control"], "no-store" if "Cache-Control" in headers else "none")
    if ("Content-Disposition" in headers) != bool(record["content_disposition"]):
        yield "Content-Disposition is %r" % record["content_disposition"]
    media_type = record["content_type"].split(";")[0].strip()
    content = answer.get("content", {})
    if media_type not in content:
        yield "content type %r, documented: %s" % (media_type, ", ".join(content) or "none")
        return
    if media_type != "application/json":
        return
    try:
        body = json.loads(record["body"])
    except (TypeError, ValueError) as error:
        yield "body is not JSON: %s" % error
        return
    validator = jsonschema.Draft202012Validator(
        content[media_type]["schema"], resolver=jsonschema.RefResolver("", spec))
    for error in validator.iter_errors(body):
        where = "/".join(str(part) for part in error.absolute_path) or "(document)"
        yield "%s: %s" % (where, error.message)


def records(directory):
    for file in sorted(pathlib.Path(directory).glob("*.jsonl")):
        with open(file, encoding="utf-8") as lines:
            for line in lines:
                yield json.loads(line)


def documented_statuses(spec):
    for path, operations in spec["paths"].items():
        for method, operation in operations.items():
            for status in operation["responses"]:
                yield (method.upper(), path, int(status))


def main(spec_path, directory):
    warnings.simplefilter("ignore", DeprecationWarning)  # RefResolver, in newer jsonschema releases
    with open(spec_path, encoding="utf-8") as text:
        spec = yaml.safe_load(text)
    for schema in spec["components"]["schemas"].values():
        jsonschema.Draft202012Validator.check_schema(schema)
    seen, distinct, failures = set(), set(), {}
    for record in records(directory):
        key = json.dumps(record, sort_keys=True)
        if key in distinct:
            continue
        distinct.add(key)
        path = urllib.parse.urlsplit(record["target"]).path.removeprefix(PREFIX)
        seen.add((record["method"], path, record["status"]))
        answer, error = documented_answer(spec, record)
        if error:
            found = [error]
        elif answer is None:
            found = []  # the server's catch-all page
        else:
            found = violations(spec, record, answer)
        for message in found:
            failures.setdefault((record["method"], path, record["status"], message), record["body"])
    if not distinct:
        sys.exit("API contract: no answers recorded in %s" % directory)
    unseen = sorted(set(documented_statuses(spec)) - seen)
    print("API contract: %d distinct answers checked; documented but not seen: %s" % (
        len(distinct), ", ".join("%s %s %d" % answer for answer in unseen) or "none"))
    for (method, path, status, message), body in list(failures.items())[:SHOWN_ERRORS]:
        print("  %s %s -> %d: %s\n    body: %.300s" % (method, path, status, message, body), file=sys.stderr)
    if failures:
        sys.exit("API contract: %d answers differ from %s" % (len(failures), spec_path))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
