#include "tests/support/TestSupport.hpp"
