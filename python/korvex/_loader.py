"""Finding a strategy in a Python file, module, class or object."""

import importlib
import importlib.util
import inspect
import sys
from pathlib import Path

HOOKS = ("init", "before_trading", "handle_bar", "handle_tick", "after_trading")


def load(target, python_path, settings):
    """The module `target` names (a .py file or a module name), or None when there is none."""
    folders = [str(Path(p).resolve()) for p in python_path]
    if target.endswith(".py"):
        path = Path(target)
        if not path.is_file():
            path = next((Path(f) / target for f in folders if (Path(f) / target).is_file()), None)
            if path is None:
                return None
        path = path.resolve()
        name = "korvex_strategy_" + path.stem
        spec = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module  # so that its classes pickle and its imports resolve
        sys.path.insert(0, str(path.parent))  # its own helper modules beside it
        try:
            spec.loader.exec_module(module)
        finally:
            sys.path.remove(str(path.parent))
        return module
    for folder in reversed(folders):
        if folder not in sys.path:
            sys.path.insert(0, folder)
    try:
        return importlib.import_module(target)
    except ModuleNotFoundError as e:
        if e.name == target or target.startswith(e.name + "."):
            return None
        raise


def _has_hooks(obj):
    return any(callable(getattr(obj, h, None)) for h in HOOKS)


def _instantiate(cls, settings):
    try:
        params = [p for p in inspect.signature(cls).parameters.values()
                  if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    except (TypeError, ValueError):
        params = []
    return cls(settings) if params else cls()


def strategy_of(obj, settings):
    """What holds the hooks: a module's functions, or an instance of the strategy's class."""
    if inspect.ismodule(obj):
        if _has_hooks(obj):
            return obj
        classes = [c for _, c in inspect.getmembers(obj, inspect.isclass)
                   if c.__module__ == obj.__name__ and _has_hooks(c)]
        if len(classes) == 1:
            return _instantiate(classes[0], settings)
        if len(classes) > 1:
            names = ", ".join(sorted(c.__name__ for c in classes))
            raise TypeError(f"{obj.__name__} defines several strategy classes ({names}): "
                            "keep one, or pass the class to korvex.run")
        raise TypeError(f"{obj.__name__} defines no strategy: give it functions named "
                        f"{', '.join(HOOKS)} (any of them), or one class with such methods")
    if inspect.isclass(obj):
        return _instantiate(obj, settings)
    if isinstance(obj, dict):  # {"handle_bar": f, ...}
        unknown = set(obj) - set(HOOKS)
        if unknown:
            raise TypeError(f"unknown strategy hooks {sorted(unknown)}: the hooks are {', '.join(HOOKS)}")
        return type("Functions", (), {k: staticmethod(v) for k, v in obj.items()})()
    if _has_hooks(obj):
        return obj
    raise TypeError(f"{obj!r} is not a strategy: it has none of the hooks {', '.join(HOOKS)}")
