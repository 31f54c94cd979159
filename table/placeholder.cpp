// Intentionally empty until the layer's first module lands.
