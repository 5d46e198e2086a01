"""The README's Python examples run against the sample database, in order, in
one namespace, and what their comments promise holds."""

import re
import sys

import pytest

from conftest import INSTALLED, ROOT

if not INSTALLED:
    sys.path.insert(0, str(ROOT / "python"))  # pellumo_artifacts, as a wheel installs it

README = ROOT / "README.md"


def write_artifact_databases(folder):
    """The artifact databases the README opens, with the real schemas."""
    import ntds_fixture
    import search_fixture
    import webcache_fixture
    from fixture_json import write_database

    write_database(folder / "WebCacheV01.dat", webcache_fixture.webcache_tables(), page_size=32768)
    write_database(folder / "Windows.edb", search_fixture.modern_tables(), page_size=32768)
    write_database(folder / "ntds.dit", ntds_fixture.directory_tables(), page_size=8192)
    import artifact_fixtures

    write_database(folder / "SRUDB.dat", artifact_fixtures.srum_tables())
    write_database(folder / "Current.mdb", artifact_fixtures.ual_tables())
    write_database(folder / "SystemIdentity.mdb", artifact_fixtures.system_identity_tables())
    write_database(folder / "qmgr.db", artifact_fixtures.bits_tables())
    write_database(folder / "Catalog1.edb", artifact_fixtures.file_history_tables())
    write_database(folder / "catdb", artifact_fixtures.catroot_tables())


def python_blocks():
    return re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.S)


def test_readme_examples_run(make_db, tmp_path, monkeypatch, capsys):
    make_db("sample", name="sample.edb")
    write_artifact_databases(tmp_path)
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
                     "[('Language', 'en-GB'), ('Theme', 'dark')]\n",
                     "webcache ['containers', 'history', 'history_daily', 'content']\n",
                     "Analyst https://www.example.org/\n",
                     "C:\\Users\\Analyst\\Documents\\plan.txt 174 2022-02-05 19:47:56.000000800+00:00\n",
                     "Notepad 11.0\n",
                     "CN=Administrator,CN=Users,DC=contoso,DC=com 500 True ['NORMAL_ACCOUNT', 'DONT_EXPIRE_PASSWORD']\n",
                     "contoso.com\nFalse\n",
                     "srum ['id_map', 'application', 'network_data', 'network_connectivity']\n",
                     "\\Device\\HarddiskVolume3\\Windows\\System32\\svchost.exe S-1-5-18 1234\n",
                     "2021-11-16 18:17:44.200939500+00:00\n",
                     "[('\\\\Device\\\\HarddiskVolume3\\\\Windows\\\\System32\\\\svchost.exe', 1234)]\n",
                     "corp\\alice 10.0.0.5 File Server\n2024-02-29 4\n",
                     "Updater transferred C:\\Windows\\System32\\cmd.exe\n",
                     "C:\\Users\\alice\\Documents\\report.docx\nsha1 ['oem12.cat']\n",
                     "25 network_connectivity\n",
                     "False clean 9\n3\n"]:
        assert expected in out
    assert namespace["hits"][0]["text"] == "deleted.user@example.com"


@pytest.mark.parametrize("command", ["info", "tables", "schema", "dump", "export", "carve", "recover", "artifacts"])
def test_readme_documents_every_command(command):
    assert f"pellumo {command} FILE" in README.read_text(encoding="utf-8")
