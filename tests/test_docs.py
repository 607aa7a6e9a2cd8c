"""The guide and the README show what the code gives: every generated block is regenerated here.

docs/make_figures.py writes the marked blocks of docs/guide.md from the bundled tables; this test
runs it in memory and compares. When it fails, run `python docs/make_figures.py` and commit.
"""

import pathlib
import re
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "docs"))

import make_figures  # noqa: E402


@pytest.fixture(scope="module")
def generated():
    return make_figures.blocks()


def test_every_generated_block_of_the_guide_matches_the_code(generated):
    text = make_figures.GUIDE.read_text(encoding="utf-8")
    assert sorted(make_figures.marked_names(text)) == sorted(generated), "each block is marked exactly once"
    for match in make_figures.MARKER.finditer(text):
        name = match.group("name")
        assert match.group("body") == generated[name], f"guide block {name!r} is stale: run docs/make_figures.py"


def test_the_rewrite_touches_only_marked_blocks():
    text = "a\n<!-- make_figures: x -->\nold\n<!-- /make_figures: x -->\nb\n"
    assert make_figures.rewrite(text, {"x": "new\n"}) == "a\n<!-- make_figures: x -->\nnew\n<!-- /make_figures: x -->\nb\n"
    with pytest.raises(KeyError):
        make_figures.rewrite(text, {})


def test_the_figure_legend_and_the_table_agree(generated):
    # The figure's legend prints each AURC to three digits; the table's AURC column is the same value.
    table = generated["curve-table"]
    for line in table.splitlines()[3:-1]:
        score, aurc = line.split()[:2]
        assert float(aurc) == pytest.approx(make_figures.annotrove.aurc(
            make_figures.annotrove.compute_curve(str(make_figures.CALIBRATION), score)), abs=5e-5)


def test_readme_opens_with_title_sentence_and_quick_start():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    lines = text.splitlines()
    assert lines[0] == "# annotrove" and lines[1] == ""
    assert lines[2].startswith("annotrove ") and lines[2].endswith(".") and lines[3] == ""
    assert lines[4] == "## Quick start"
    block = re.search(r"## Quick start\n\n```sh\n(.*?)```", text, re.DOTALL).group(1).splitlines()
    assert [line.split("#")[0].strip() for line in block] == ["./scripts/example.sh", "./scripts/test.sh"]
    # Numbers computed from the bundled data belong in the guide's generated blocks, not in the README.
    assert not re.search(r"\b0\.\d{4,}", text)
