"""Writing a file whole or not at all."""

import errno
import os

import pytest

from tavlen.files import replacing, write_atomically


def fails_part_way(file):
    file.write(b"new" * 1000)
    raise RuntimeError("the writer broke")


def fills_the_disk(file):
    file.write(b"x" * 200_000)  # more than the 64 KiB file system holds


def by_path_fails_part_way(path):
    """A writer that takes a path, not a file (as some file formats' libraries do)."""
    with replacing(path) as temporary:
        with open(temporary, "wb") as file:
            file.write(b"new")
        raise RuntimeError("the writer broke")


@pytest.mark.parametrize("write, raised", [
    (lambda path: write_atomically(path, fails_part_way), RuntimeError),
    (lambda path: write_atomically(path, fills_the_disk), OSError),
    (by_path_fails_part_way, RuntimeError),
])
def test_a_failed_write_leaves_the_previous_file_and_nothing_else(tmp_path, request, write, raised):
    folder = tmp_path / "small"
    if raised is OSError:
        request.getfixturevalue("mounted").tmpfs(folder, "64k")
    folder.mkdir(exist_ok=True)
    path = folder / "results.npz"
    write_atomically(path, lambda file: file.write(b"old"))
    with pytest.raises(raised) as failed:
        write(path)
    if raised is OSError:
        assert failed.value.errno == errno.ENOSPC and failed.value.filename == str(path)
    assert [entry.name for entry in folder.iterdir()] == ["results.npz"]
    assert path.read_bytes() == b"old"
    # Through a symbolic link: the file it names is replaced, the link stays.
    link = tmp_path / "link.npz"
    link.symlink_to(path)
    write_atomically(link, lambda file: file.write(b"new"))
    assert link.is_symlink() and path.read_bytes() == b"new"


def test_a_save_removes_only_the_temporary_files_that_no_writer_holds(tmp_path):
    path = tmp_path / "results.npz"
    abandoned = tmp_path / ".results.npz.0123abcd.tmp"  # a writer killed in the middle
    abandoned.write_bytes(b"x" * 1000)
    with replacing(path) as writing:  # a writer at work
        with open(writing, "wb") as file:
            file.write(b"first")
        write_atomically(path, lambda file: file.write(b"second"))
        assert os.path.exists(writing) and not abandoned.exists()
    assert path.read_bytes() == b"first" and sorted(os.listdir(tmp_path)) == ["results.npz"]
