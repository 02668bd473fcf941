from typing import Any, Mapping, Tuple, Union

_ClassInfo = Union[type, Tuple["_ClassInfo", ...]]

def check_tunables(supplied: Mapping[str, Any], supported: Mapping[str, _ClassInfo]) -> None: ...
