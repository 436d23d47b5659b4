"""The Python guide's example is the file the suite runs."""

from conftest import SOURCE_DIR


def test_the_readme_quotes_the_example_verbatim():
    example = (SOURCE_DIR / "python" / "examples" / "test_app_example.py").read_text()
    readme = (SOURCE_DIR / "docs" / "python.md").read_text()
    assert f"```python\n{example}```\n" in readme
