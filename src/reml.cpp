#include "matrix.hpp"
