"""A copy of the tree under test as a git checkout of its own."""

import os
import shutil
import subprocess


def commit_copy(source, destination):
    """Copies the tree at source, uncommitted changes included, to
    destination and commits it there, on the branch its origin/HEAD names,
    so that a release built from the copy has a released commit to be
    rebuilt from."""
    os.makedirs(destination, exist_ok=True)
    run = lambda *command: subprocess.run(command, capture_output=True, text=True, check=True, cwd=destination)  # noqa: E731
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=source,
                            capture_output=True, text=True, check=True)
    for name in filter(None, listed.stdout.split("\0")):
        if os.path.isfile(os.path.join(source, name)):
            os.makedirs(os.path.dirname(os.path.join(destination, name)), exist_ok=True)
            shutil.copy2(os.path.join(source, name), os.path.join(destination, name))
    identity = ["-c", "user.name=Test", "-c", "user.email=test@example.invalid"]
    for command in (["init", "-q"], ["add", "-A"], [*identity, "commit", "-q", "-m", "The tree under test"],
                    # released, as a clone's origin/HEAD says
                    ["update-ref", "refs/remotes/origin/main", "HEAD"],
                    ["symbolic-ref", "refs/remotes/origin/HEAD", "refs/remotes/origin/main"]):
        run("git", *command)
    return destination
