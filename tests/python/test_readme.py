"""The README's Python examples run against the sample database, in order, in
one namespace, and what their comments promise holds."""

import re

import pytest

from conftest import ROOT

README = ROOT / "README.md"


def python_blocks():
    return re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.S)


def test_readme_examples_run(make_db, tmp_path, monkeypatch, capsys):
    make_db("sample", name="sample.edb")
    monkeypatch.chdir(tmp_path)
    blocks = python_blocks()
    assert len(blocks) >= 8
    namespace = {}
    for block in blocks:
        exec(compile(block, str(README), "exec"), namespace)  # noqa: S102 - our own documentation
    out = capsys.readouterr().out
    # Spot checks of what the comments claim.
    for expected in ["EseDatabase(path='sample.edb', tables=5, page_size=4096)",
                     "['MSysObjects', 'Users', 'Events', 'Settings', 'Empty']",
                     "{'name': 'UserId', 'type': 'Signed long', 'id': 1, 'nullable': False}",
                     "Alice alice@example.com",
                     "-1\n15.0\n",
                     "2024-03-01 12:00:00+00:00",
                     "2024-03-01 00:00:00\n",
                     "{'Name': 'Alice', 'Created': datetime.datetime(2024, 3, 1, 12, 0, tzinfo=datetime.timezone.utc)}",
                     "3 ['Alice', 'Bob', 'Chloé']\n",
                     "(1000, 1, 'Kernel-Power')\n",
                     "[('Language', 'en-GB'), ('Theme', 'dark')]\n"]:
        assert expected in out
    assert namespace["hits"][0]["text"] == "deleted.user@example.com"


@pytest.mark.parametrize("command", ["info", "tables", "schema", "dump", "export", "carve", "recover"])
def test_readme_documents_every_command(command):
    assert f"pellumo {command} FILE" in README.read_text(encoding="utf-8")
