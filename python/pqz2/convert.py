"""Convert a tree of PQZ files to PNG, on all local cores or on a Dask cluster.

    python3 -m pqz2.convert SRC DST [-j N] [--scheduler ADDRESS]

Every ``*.pqz`` file under SRC (or SRC itself, when it is a file) is converted image by image:
image K of ``SRC/a/b.pqz`` becomes ``DST/a/b.K.png`` (K from 0), so the folders are mirrored.
``DST/manifest.json`` lists each file with the images converted (size, bits, PNG mode, output),
the images of no pixels (which PNG cannot hold) and what failed (file, image, status and
message). A damaged image or file is listed and the
rest goes on; the exit status is 0 only when nothing failed.

Without ``--scheduler`` the files are converted by N local processes (default: all cores).
With ``--scheduler tcp://host:8786`` they are converted on that Dask cluster; the workers
need the pqz2 package and read SRC and write DST under the same paths (a shared file system).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Any, Dict, Iterable, List, Optional

MANIFEST = "manifest.json"


def find_sources(src: Path) -> List[str]:
    """The PQZ files under src, as sorted paths relative to it ("" for src itself)."""
    if src.is_file():
        return [""]
    found = []
    for folder, dirs, files in os.walk(src):
        dirs.sort()
        for name in files:
            if name.lower().endswith(".pqz"):
                found.append(os.path.relpath(os.path.join(folder, name), src))
    return sorted(found)


def _failure(image: Optional[int], error: BaseException) -> Dict[str, Any]:
    status = getattr(error, "status", None)
    return {
        "image": image,
        "status": getattr(status, "name", None) or type(error).__name__,
        "message": getattr(error, "message", None) or str(error),
    }


def convert_file(src_root: str, dst_root: str, rel: str) -> Dict[str, Any]:
    """Converts one file (src_root/rel, or src_root when rel is "") to PNGs under dst_root;
    returns its manifest entry. Never raises for bad input: failures are in the entry."""
    from PIL import Image as PILImage  # noqa: F401  (the plugin needs Pillow)

    from . import Error, Image, open as pqz_open
    from .pil import pil_layout, to_pil

    src = Path(src_root, rel) if rel else Path(src_root)
    out_rel = Path(rel).with_suffix("") if rel else Path(src.stem)
    entry: Dict[str, Any] = {
        "source": rel or src.name,
        "images": [],
        "extras": 0,
        "empty": [],  # images of no pixels: a PNG cannot hold them
        "failures": [],
    }
    try:
        with pqz_open(src) as f:
            for block in f:
                if not isinstance(block, Image):
                    entry["extras"] += 1
                    continue
                k = block.image_index
                name = f"{out_rel}.{k}.png"
                if block.width == 0 or block.height == 0:
                    entry["empty"].append(k)
                    continue
                try:
                    mode = pil_layout(block)[0]
                    picture = to_pil(block)
                    target = Path(dst_root, name)
                    target.parent.mkdir(parents=True, exist_ok=True)
                    partial = target.with_name(target.name + ".part")
                    picture.save(partial, "PNG")
                    os.replace(partial, target)
                except (Error, OSError, ValueError) as e:
                    entry["failures"].append(_failure(k, e))
                    continue
                entry["images"].append(
                    {
                        "image": k,
                        "output": name,
                        "width": block.width,
                        "height": block.height,
                        "bits_per_pixel": block.bits_per_pixel,
                        "mode": mode,
                    }
                )
    except (Error, OSError, ValueError) as e:  # cannot open, or the walk stops at damage
        entry["failures"].append(_failure(getattr(e, "image_index", None), e))
    return entry


def _run_local(src: str, dst: str, rels: List[str], jobs: int) -> Iterable[Dict[str, Any]]:
    if jobs <= 1 or len(rels) <= 1:
        return [convert_file(src, dst, r) for r in rels]
    with ProcessPoolExecutor(max_workers=jobs) as pool:
        return list(pool.map(convert_file, [src] * len(rels), [dst] * len(rels), rels))


def _run_dask(src: str, dst: str, rels: List[str], scheduler: Any) -> List[Dict[str, Any]]:
    from distributed import Client, as_completed

    client = scheduler if isinstance(scheduler, Client) else Client(scheduler)
    try:
        futures = client.map(
            convert_file, [src] * len(rels), [dst] * len(rels), rels, pure=False
        )
        where = {f.key: r for f, r in zip(futures, rels)}
        entries = []
        for future in as_completed(futures):
            try:
                entries.append(future.result())
            except Exception as e:  # a worker died or the task could not run
                entries.append(
                    {"source": where[future.key], "images": [], "extras": 0, "empty": [],
                     "failures": [_failure(None, e)]}
                )
        return entries
    finally:
        if client is not scheduler:
            client.close()


def convert_tree(
    src: "str | os.PathLike[str]",
    dst: "str | os.PathLike[str]",
    jobs: Optional[int] = None,
    scheduler: Any = None,
) -> Dict[str, Any]:
    """Converts every PQZ file under src to PNGs under dst and writes dst/manifest.json.

    jobs: local processes (default: all cores). scheduler: a Dask scheduler address or a
    distributed.Client; the conversion then runs on that cluster. Returns the manifest.
    """
    src_path, dst_path = Path(src).resolve(), Path(dst).resolve()
    if not src_path.exists():
        raise FileNotFoundError(f"{src}: no such file or folder")
    dst_path.mkdir(parents=True, exist_ok=True)
    rels = find_sources(src_path)
    if scheduler is not None:
        entries = _run_dask(str(src_path), str(dst_path), rels, scheduler)
    else:
        entries = list(_run_local(str(src_path), str(dst_path), rels, jobs or os.cpu_count() or 1))
    entries.sort(key=lambda e: e["source"])
    manifest = {
        "files": entries,
        "converted": sum(len(e["images"]) for e in entries),
        "failed": sum(len(e["failures"]) for e in entries),
    }
    with open(dst_path / MANIFEST, "w", encoding="utf-8") as out:
        json.dump(manifest, out, indent=1)
        out.write("\n")
    return manifest


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python3 -m pqz2.convert",
        description="Convert a tree of PQZ files to PNG (image K of a/b.pqz -> DST/a/b.K.png) "
        "and write DST/manifest.json.",
    )
    parser.add_argument("src", help="a PQZ file or a folder searched for *.pqz")
    parser.add_argument("dst", help="output folder (created)")
    parser.add_argument("-j", "--jobs", type=int, default=None,
                        help="local processes (default: all cores)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="Dask scheduler address, e.g. tcp://host:8786: convert there")
    parser.add_argument("-q", "--quiet", action="store_true", help="print failures only")
    args = parser.parse_args(argv)
    try:
        manifest = convert_tree(args.src, args.dst, args.jobs, args.scheduler)
    except OSError as e:
        print(f"pqz2.convert: {e}", file=sys.stderr)
        return 2
    for entry in manifest["files"]:
        for failure in entry["failures"]:
            where = "" if failure["image"] is None else f" image {failure['image']}"
            print(f"{entry['source']}{where}: {failure['message']} [{failure['status']}]",
                  file=sys.stderr)
    if not args.quiet:
        print(f"{manifest['converted']} images converted from {len(manifest['files'])} files, "
              f"{manifest['failed']} failures; manifest in {Path(args.dst) / MANIFEST}")
    return 0 if manifest["failed"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
