"""Archive conversion: locally and on a Dask cluster of two workers, with damaged files."""

from __future__ import annotations

import json
import shutil
from pathlib import Path

import pytest

from conftest import SAMPLE, VECTORS, vector_files
from pqz2 import convert


@pytest.fixture(scope="module")
def archive(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A few dozen files in nested folders: the smaller vectors of every family, two bad."""
    root = tmp_path_factory.mktemp("archive")
    for vector in vector_files():
        if vector.stat().st_size > 24 * 1024:
            continue
        target = root / vector.parent.name / ("deep" if len(vector.stem) % 2 else "") / vector.name
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(vector, target)
    shutil.copy(VECTORS / "damaged" / "range-truncated.pqz", root / "damaged-payload.pqz")
    (root / "not-pqz.pqz").write_bytes(b"plain text, not an image file")
    (root / "notes.txt").write_text("ignored")
    return root


@pytest.fixture(scope="module")
def local_run(archive: Path, tmp_path_factory: pytest.TempPathFactory):
    out = tmp_path_factory.mktemp("local")
    return out, convert.convert_tree(archive, out, jobs=2)


def outputs(folder: Path):
    return sorted(p.relative_to(folder) for p in folder.rglob("*.png"))


def test_local_conversion_mirrors_folders_and_lists_failures(archive: Path, local_run) -> None:
    out, manifest = local_run
    sources = sorted(str(p.relative_to(archive)) for p in archive.rglob("*.pqz"))
    assert [e["source"] for e in manifest["files"]] == sources
    assert json.loads((out / "manifest.json").read_text()) == manifest
    by_source = {e["source"]: e for e in manifest["files"]}
    assert len(sources) > 36
    mixed = [e for e in manifest["files"] if e["source"].endswith("bitstream-raw-aux.pqz")][0]
    assert len(mixed["images"]) == 4 and mixed["extras"] == 2 and not mixed["failures"]
    assert (out / mixed["images"][3]["output"]).exists()
    assert by_source["not-pqz.pqz"]["failures"][0]["status"] == "ERR_NOT_PQZ"
    damaged = by_source["damaged-payload.pqz"]["failures"]
    assert damaged == [{"image": 1, "status": "ERR_DAMAGED", "message": damaged[0]["message"]}]
    assert len(by_source["damaged-payload.pqz"]["images"]) == 1  # the image in front of it
    nested = [e for e in manifest["files"] if "/deep/" in e["source"]]
    assert nested and all((out / i["output"]).exists() for e in nested for i in e["images"])
    assert manifest["converted"] == len(outputs(out)) > 100
    # stray bytes behind the last image of one vector are reported too, after its image
    trailing = [e for e in manifest["files"] if e["source"].endswith("trailing-bytes.pqz")][0]
    assert len(trailing["images"]) == 1 and trailing["failures"][0]["image"] is None
    assert manifest["failed"] == 3
    assert [e["empty"] for e in manifest["files"] if e["source"].endswith("zero-sizes.pqz")][0]


def test_dask_cluster_gives_the_same_files(archive: Path, local_run, tmp_path: Path) -> None:
    distributed = pytest.importorskip("distributed")
    out, manifest = local_run
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        dask_manifest = convert.convert_tree(archive, tmp_path, scheduler=cluster.scheduler_address)
    assert dask_manifest == manifest
    assert outputs(tmp_path) == outputs(out)
    for rel in outputs(out):
        assert (tmp_path / rel).read_bytes() == (out / rel).read_bytes(), rel


def test_command_line(archive: Path, tmp_path: Path, capsys: pytest.CaptureFixture) -> None:
    assert convert.main([str(SAMPLE), str(tmp_path / "one"), "-j", "1"]) == 0
    assert "14 images converted from 1 files, 0 failures" in capsys.readouterr().out
    assert (tmp_path / "one" / "TestFile.13.png").exists()
    tree = tmp_path / "tree"
    (tree / "sub").mkdir(parents=True)
    shutil.copy(archive / "not-pqz.pqz", tree / "sub")
    shutil.copy(archive / "damaged-payload.pqz", tree)
    assert convert.main([str(tree), str(tmp_path / "out"), "-q"]) == 1
    err = capsys.readouterr().err
    assert "sub/not-pqz.pqz" in err and "damaged-payload.pqz image 1: " in err
