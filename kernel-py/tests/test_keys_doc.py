"""docs/keys.md runs as pasted, as docs/guide.md does: every ```python
block, in order, in one namespace, in an empty working directory."""

from pathlib import Path

from test_guide import fenced_blocks, run_python_blocks

KEYS_DOC = Path(__file__).resolve().parents[2] / "docs" / "keys.md"


def test_python_blocks_run_in_order(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    blocks = fenced_blocks(KEYS_DOC.read_text())
    assert all(language for language, _, _ in blocks), "keys.md: say ```python, ```sh or ```text"
    namespace = run_python_blocks(KEYS_DOC, "keys_doc", 8)
    # The last block shows what a signer's mistake looks like.
    assert "does not verify under its public key" in capsys.readouterr().out
    assert not namespace["roots"]._thread
