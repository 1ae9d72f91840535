"""docs/architecture.md stays a true map: every source file has a role, every
role names a file, and every function a path lists is where it says."""

import pathlib
import re

import pytest

REPOSITORY = pathlib.Path(__file__).resolve().parents[1]
SOURCES = REPOSITORY / "src"
MAP = (REPOSITORY / "docs" / "architecture.md").read_text(encoding="utf-8")


def table_rows(section_heading, first_header):
    """The rows (cells without the backticks) of the tables under a heading
    whose header row starts with `first_header`."""
    section = MAP.split(section_heading, 1)[1].split("\n## ", 1)[0]
    rows, in_table = [], False
    for line in section.splitlines():
        if line.startswith("| " + first_header + " |"):
            in_table = True
        elif not line.startswith("|"):
            in_table = False
        elif in_table and not line.startswith("|---"):
            rows.append([cell.strip().strip("`") for cell in line.strip("|").split("|")])
    return rows


def files_named(cell):
    """`folder/unit.h/.cpp` names two files; anything else one."""
    if cell.endswith(".h/.cpp"):
        return [cell[: -len("/.cpp")], cell[: -len(".h/.cpp")] + ".cpp"]
    return [cell]


def test_every_source_file_has_a_role_and_every_role_a_file():
    named = {name for row in table_rows("## Roles and files", "file") for name in files_named(row[0])}
    present = {str(path.relative_to(SOURCES)) for path in SOURCES.glob("*/*") if path.suffix in {".h", ".cpp", ".py"}}
    assert (sorted(present - named), sorted(named - present)) == ([], [])


PATH_STEPS = table_rows("## The paths", "#")


@pytest.mark.parametrize("function, file", [(row[1], row[2]) for row in PATH_STEPS],
                         ids=[f"{row[1]} in {row[2]}" for row in PATH_STEPS])
def test_each_function_of_a_path_is_defined_in_the_file_named(function, file):
    text = (SOURCES / file).read_text(encoding="utf-8")
    *owners, name = function.split("::")
    assert re.search(rf"^\s*(async )?def {name}\(" if file.endswith(".py") else DEFINITION.format(name=name),
                     text, re.MULTILINE), f"{name} is not defined in {file}"
    for owner in owners:
        assert re.search(rf"\b(class|struct) {owner}\b|\b{owner}::{name}\b", text), f"{owner} is not in {file}"


# A C++ definition or declaration: a return type (and attributes, template
# head, qualifiers) before the name on its line, where a call would have a
# statement or an expression.
DEFINITION = (r"^\s*(template <[^>]*> )?(\[\[[\w:]+\]\] )*((static|inline|explicit|constexpr) )*"
              r"(const )?(?!return\b)[\w:<>,]+[*&]? ([\w:]+::)?{name}\s*\(")


def test_the_paths_are_listed():
    assert len(PATH_STEPS) > 30
