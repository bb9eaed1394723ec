"""Configuration dicts as TOML text, the form the engine merges."""

import datetime
import json
import math
import re

_BARE = re.compile(r"^[A-Za-z0-9_-]+$")


def _key(k, path):
    if not isinstance(k, str):
        raise TypeError(f"configuration keys must be text, not {k!r} in '{path or '(top)'}'")
    return k if _BARE.match(k) else json.dumps(k, ensure_ascii=False)


def _value(v, path):
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        if math.isnan(v):
            return "nan"
        if math.isinf(v):
            return "inf" if v > 0 else "-inf"
        return repr(v)
    if isinstance(v, str):
        return json.dumps(v, ensure_ascii=False)  # a JSON string is a TOML basic string
    if isinstance(v, (datetime.date, datetime.datetime)):
        return json.dumps(v.isoformat(sep=" ") if isinstance(v, datetime.datetime)
                          else v.isoformat())
    if isinstance(v, dict):
        return "{" + ", ".join(f"{_key(k, path)} = {_value(x, f'{path}.{k}')}"
                               for k, x in v.items()) + "}"
    if isinstance(v, (list, tuple)):
        return "[" + ", ".join(_value(x, f"{path}[{i}]") for i, x in enumerate(v)) + "]"
    raise TypeError(f"configuration entry '{path}' cannot be a {type(v).__name__}")


def to_toml(table):
    """One dotted-key line per value: {"base": {"frequency": "1d"}} -> base.frequency = "1d"."""
    lines = []

    def walk(d, prefix, path):
        for k, v in d.items():
            key = prefix + _key(k, path)
            where = f"{path}.{k}" if path else k
            if isinstance(v, dict) and v:
                walk(v, key + ".", where)
            else:
                lines.append(f"{key} = {_value(v, where)}")

    walk(table, "", "")
    return "\n".join(lines) + "\n"
