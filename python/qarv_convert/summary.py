"""The configuration summary's rows as `explain` shows them in Markdown and JSON, and their cells as the summary words them."""
from __future__ import annotations


def cell_text(json_text: str) -> str:
    """A Value or Default cell as the summary shows it: a string bare, anything else as JSON."""
    import json

    value = json.loads(json_text)
    return value if isinstance(value, str) else json_text


def _markdown_escaped(text: str) -> str:
    from qarv_convert.text import printable

    return printable(text.replace("\\", "\\\\").replace("|", "\\|").replace("\n", "<br>"))


def markdown_tables(sections: list) -> str:
    """The rows of `summary_rows` as a Markdown table per section."""
    parts = []
    for section, rows in sections:
        parts.append(f"### [{section}]\n\n| Key | Value | Default | Set by User? | Description |\n|---|---|---|---|---|\n")
        for key, value, default, set_by_user, description in rows:
            cells = [f"`{key}`", cell_text(value), cell_text(default), "Yes" if set_by_user else "No", description]
            parts.append("| " + " | ".join(_markdown_escaped(text) for text in cells) + " |\n")
        parts.append("\n")
    return "".join(parts)


def json_rows(sections: list) -> str:
    """The rows of `summary_rows` as a JSON array of one object per row."""
    import json

    from qarv_convert.text import printable

    rows = [{"section": section, "key": key, "value": json.loads(value), "default": json.loads(default),
             "set_by_user": set_by_user, "description": description}
            for section, section_rows in sections for key, value, default, set_by_user, description in section_rows]
    return printable(json.dumps(rows, indent=2, ensure_ascii=False)) + "\n"
