"""The type stubs installed beside the extension modules agree with the modules."""

import ast
import subprocess
import sys
from pathlib import Path

import pytest

from tarnwick.models import dexpjump, lognjump

MODULES = [dexpjump, lognjump]


def stubtest(tmp_path, *arguments):
    # From an empty directory, so that only the installed package is found.
    return subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *arguments],
        cwd=tmp_path, capture_output=True, text=True, timeout=600,
    )


def test_stubtest_finds_no_difference(tmp_path):
    # No allowlist: the metaclass pybind11 gives every class is declared in the stubs, and
    # stubtest leaves private runtime names such as _pybind11_conduit_v1_ alone.
    run = stubtest(tmp_path, *(module.__name__ for module in MODULES))
    assert run.returncode == 0, run.stdout + run.stderr
    assert "Success: no issues found in 2 modules" in run.stdout


# Where the stubs are narrower than pybind11's generated signature, because the module
# refuses at run time what that signature admits: the term count of dexpjump is converted
# without the float fallback, so 10.0 raises TypeError and a type checker should say so.
# (module, argument name): (annotation in the stub, annotation pybind11 generates)
NARROWED = {
    ("tarnwick.models.dexpjump", "n"): (
        "typing.SupportsIndex", "typing.SupportsInt | typing.SupportsIndex"
    ),
}


def pybind11_signature(function, module, owner):
    """The signature line pybind11 generates for a bound function declared as `function` in
    the stub (a method of the class `owner`, or a module function when owner is None);
    None for a placeholder with *args, whose signature stubtest checks itself."""
    arguments = function.args
    if arguments.vararg or arguments.kwarg:
        return None

    def annotation(node, name=None):
        text = ast.unparse(node)
        stub, generated = NARROWED.get((module.__name__, name), (None, None))
        if text == stub:
            return generated
        return f"{module.__name__}.{text}" if isinstance(getattr(module, text, None), type) else text

    positional = arguments.posonlyargs + arguments.args
    first_default = len(positional) - len(arguments.defaults)
    rendered = []
    for index, argument in enumerate(positional):
        if owner and index == 0:
            rendered.append(f"self: {module.__name__}.{owner}")
            continue
        # pybind11 binds an argument without a name, which makes it positional only, and
        # shows it as arg0, arg1, ... counted after self.
        name = argument.arg
        if argument in arguments.posonlyargs:
            name = f"arg{index - bool(owner)}"
        default = " = ..." if index >= first_default else ""
        rendered.append(f"{name}: {annotation(argument.annotation, argument.arg)}{default}")
    if arguments.kwonlyargs:
        rendered.append("*")
        rendered += [f"{a.arg}: {annotation(a.annotation)}" for a in arguments.kwonlyargs]
    return f"{function.name}({', '.join(rendered)}) -> {annotation(function.returns)}"


@pytest.mark.parametrize("module", MODULES, ids=lambda module: module.__name__)
def test_stub_signatures_are_those_of_the_bound_functions(module):
    # pybind11 functions carry no inspectable signature, so stubtest checks only that the
    # names exist; their argument names, order, kinds and types are compared here with the
    # signature line of each function's __doc__.
    stub = Path(module.__file__).with_name(module.__name__.rsplit(".", 1)[1] + ".pyi")
    compared = 0
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            members = [(node, getattr(module, node.name), None)]
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            cls = getattr(module, node.name)
            members = [(item, getattr(cls, item.name), node.name) for item in node.body
                       if isinstance(item, ast.FunctionDef)]
        else:
            continue
        for function, runtime, owner in members:
            expected = pybind11_signature(function, module, owner)
            if expected is not None:
                assert runtime.__doc__.strip() == expected
                compared += 1
    assert compared == {"tarnwick.models.dexpjump": 5, "tarnwick.models.lognjump": 2}[
        module.__name__
    ]


USER_CODE = """\
from tarnwick.models import dexpjump, lognjump
call = dexpjump.create_european_call(0.5, 100)
reveal_type(call)
reveal_type(call.priceByKouJumpDiffusion(100, 0.05, 0.16, 1, 0.4, 10, 5, n=10))
dexpjump.KouEuropeanPut(T=0.5, K=100)
merton = lognjump.MertonEuropeanCall(100, 1.0)
reveal_type(merton.JDAnalyticalPrice(S=100, sigma=0.2, r=0.05, lam=1, m=-0.1, s=0.2, n=50.5))
merton.JDAnalyticalPrice(100, 0.2, 0.05, 1, -0.1, 0.2, "50")
call.priceByKouJumpDiffusion(100, 0.05, 0.16, 1, 0.4, 10, 5, n=10.0)
"""


def test_narrowed_annotations_are_refused_at_run_time():
    call = dexpjump.KouEuropeanCall(0.5, 100)
    assert call.priceByKouJumpDiffusion(100, 0.05, 0.16, 1, 0.4, 10, 5, 10) > 0
    with pytest.raises(TypeError):
        call.priceByKouJumpDiffusion(100, 0.05, 0.16, 1, 0.4, 10, 5, 10.0)


def test_a_type_checker_reads_the_installed_stubs(tmp_path):
    # mypy finds the stubs through py.typed; it checks them for the running interpreter
    # (under 3.9, the oldest supported one).
    (tmp_path / "user.py").write_text(USER_CODE)
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental",
         "--no-error-summary", "--hide-error-context", "user.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=600,
    )
    own = [line for line in run.stdout.splitlines() if line.startswith("user.py:")]
    findings = [line.split(": ", 2)[1:] for line in own]
    lines = {int(line.split(":")[1]) for line in own}
    assert lines == {3, 4, 5, 7, 8, 9}, run.stdout + run.stderr
    assert ["note", 'Revealed type is "tarnwick.models.dexpjump.KouEuropeanCall"'] in findings
    floats = [["note", f'Revealed type is "{name}"'] for name in ("builtins.float", "float")]
    assert sum(finding in floats for finding in findings) == 2
    errors = [text for kind, text in findings if kind == "error"]
    assert any('Unexpected keyword argument "T"' in text for text in errors), errors
    assert any('Argument 7 to "JDAnalyticalPrice"' in text for text in errors), errors
    assert any('Argument "n" to "priceByKouJumpDiffusion"' in text for text in errors), errors


def mypy_strict(cwd, *targets):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *targets],
        cwd=cwd, capture_output=True, text=True, timeout=600,
    )


def test_the_installed_package_passes_mypy_strict(tmp_path):
    # The package as installed (its modules, stubs and py.typed), from an empty directory.
    run = mypy_strict(tmp_path, "-p", "tarnwick")
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("Success: no issues found")


README = Path(__file__).resolve().parents[1] / "README.md"


def python_blocks(markdown):
    """The ```python blocks of a Markdown text, in order."""
    blocks, current = [], None
    for line in markdown.splitlines():
        if current is None and line.strip() == "```python":
            current = []
        elif current is not None and line.strip() == "```":
            blocks.append("\n".join(current) + "\n")
            current = None
        elif current is not None:
            current.append(line)
    return blocks


# Strict for the examples' own code and every call into tarnwick. dask, which the scaling
# example uses, is only partly annotated: calls into it are exempt from the untyped-call
# check, and names its packages re-export count as exported.
README_MYPY_CONFIG = """\
[mypy]
strict = True
untyped_calls_exclude = dask,distributed

[mypy-dask.*,distributed.*]
implicit_reexport = True
"""


def test_the_readme_examples_pass_mypy_strict(tmp_path):
    # Each block as a module of its own, the way a reader pastes it.
    blocks = python_blocks(README.read_text())
    assert blocks, "README.md has no python example"
    names = []
    for index, block in enumerate(blocks):
        names.append(f"readme_example_{index}.py")
        (tmp_path / names[-1]).write_text(block)
    (tmp_path / "mypy.ini").write_text(README_MYPY_CONFIG)
    run = mypy_strict(tmp_path, "--config-file", "mypy.ini", *names)
    assert run.returncode == 0, run.stdout + run.stderr
