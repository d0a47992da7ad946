"""European option prices under Kou's and Merton's jump-diffusion models."""
