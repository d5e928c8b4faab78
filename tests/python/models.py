"""Model documents shared by the integration tests."""

# mass-spring-damper driven by a force: q' = p/m, p' = -k q - c p/m + F; slots q p F m k c t
MSD = {"n_states": 2, "n_inputs": 1, "n_params": 3, "param_values": [1.0, 4.0, 0.3],
       "rhs": [["div", ["ref", 1], ["ref", 3]],
               ["add", ["sub", ["mul", ["neg", ["ref", 4]], ["ref", 0]],
                        ["mul", ["ref", 5], ["div", ["ref", 1], ["ref", 3]]]], ["ref", 2]]],
       "energy": ["add", ["div", ["mul", ["ref", 1], ["ref", 1]], ["mul", ["const", 2], ["ref", 3]]],
                  ["mul", ["const", 0.5], ["mul", ["ref", 4], ["mul", ["ref", 0], ["ref", 0]]]]],
       "grad_H": [["mul", ["ref", 4], ["ref", 0]], ["div", ["ref", 1], ["ref", 3]]],
       "port_outputs": [["div", ["ref", 1], ["ref", 3]]], "port_values": [["ref", 2]],
       "outputs": [["ref", 0], ["div", ["ref", 1], ["ref", 3]]], "output_names": ["position", "velocity"]}
