"""docs/guide.md runs as pasted: every ```python block, in order, in one
namespace, in an empty working directory. Other blocks (```sh, ```text) are
skipped, so each fence has to say what it holds."""

import traceback
from pathlib import Path

GUIDE = Path(__file__).resolve().parents[2] / "docs" / "guide.md"


def fenced_blocks(text):
    """(language, first line number, source) of each fenced block; the
    source keeps its place in the file, so tracebacks give guide lines."""
    blocks, open_at, language = [], None, None
    for number, line in enumerate(text.splitlines(), start=1):
        if not line.startswith("```"):
            continue
        if open_at is None:
            open_at, language = number, line[3:].strip()
        else:
            assert line.rstrip() == "```", f"guide.md line {number}: a fence opens inside a block"
            body = text.splitlines()[open_at:number - 1]
            blocks.append((language, open_at + 1, "\n" * open_at + "\n".join(body) + "\n"))
            open_at = None
    assert open_at is None, f"guide.md line {open_at}: block never closed"
    return blocks


def section_blocks(page, title):
    """(first line number, source) of the ```python blocks under the page's
    "## <title>" heading, each source in its place in the file."""
    text = page.read_text()
    start = text.index(f"\n## {title}\n")
    end = text.find("\n## ", start + 1)
    first, last = text[:start].count("\n") + 2, text[:end if end >= 0 else len(text)].count("\n")
    return [(line, source) for language, line, source in fenced_blocks(text)
            if language == "python" and first <= line <= last]


def test_every_fence_names_its_language():
    unnamed = [first - 1 for language, first, _ in fenced_blocks(GUIDE.read_text()) if not language]
    assert not unnamed, f"guide.md lines {unnamed}: say ```python, ```sh or ```text"


def run_python_blocks(doc, name, at_least):
    """Runs every ```python block of ``doc`` in order in one namespace, as a
    reader pasting them would; the namespace is returned for checks after."""
    blocks = [b for b in fenced_blocks(doc.read_text()) if b[0] == "python"]
    assert len(blocks) >= at_least, f"the Python blocks of {doc.name} were not found"
    namespace = {"__name__": name}
    for number, (_, first, source) in enumerate(blocks, start=1):
        try:
            exec(compile(source, str(doc), "exec"), namespace)
        except Exception as error:  # noqa: BLE001 - any failure is the page's
            lines = [frame.lineno for frame in traceback.extract_tb(error.__traceback__)
                     if frame.filename == str(doc)]
            raise AssertionError(f"{doc.name} Python block {number} (from line {first}) failed at "
                                 f"line {lines[-1] if lines else None}: {error!r}") from error
    return namespace


def test_python_blocks_run_in_order(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    run_python_blocks(GUIDE, "guide", 10)
