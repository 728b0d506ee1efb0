import pydantic.main
from pydantic.config import ConfigDict as ConfigDict
from pydantic.fields import Field as Field
from pydantic.functional_validators import AfterValidator as AfterValidator
from pydantic.functional_validators import model_validator as model_validator

class BaseModel(pydantic.main.BaseModel):
    """Base of the engine's validated records."""

__all__: list = ["AfterValidator", "BaseModel", "ConfigDict", "Field", "model_validator"]
