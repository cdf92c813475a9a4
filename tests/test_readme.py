"""The README's tour runs as written."""

import re
from pathlib import Path

import pytest

README = Path(__file__).parents[1] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(code):
    namespace = {}
    exec(compile(code, str(README), "exec"), namespace)
    if "field_img" in namespace:
        assert namespace["field_img"].width() == 151
        assert namespace["polar_img"].width() == 400
    if "rgba" in namespace:
        assert namespace["rgba"].shape == (2, 2, 4)
    if "zoom" in namespace:
        assert 0 <= namespace["zoom"] <= 23


def test_readme_opens_with_the_two_commands():
    lines = README.read_text().splitlines()
    first_block = lines[lines.index("```bash") + 1 : lines.index("```bash") + 3]
    assert [line.split()[0:2] for line in first_block] == [["./dev", "demo"], ["./dev", "test"]]
