"""The Python guide's examples are the files the suite runs."""

import pytest

from conftest import SOURCE_DIR

GUIDE = SOURCE_DIR / "docs" / "python.md"


@pytest.mark.parametrize("example", ["test_app_example.py", "test_two_modules.py"])
def test_the_guide_quotes_the_example_verbatim(example):
    code = (SOURCE_DIR / "python" / "examples" / example).read_text()
    assert f"```python\n{code}```\n" in GUIDE.read_text()
