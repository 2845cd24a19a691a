#pragma once

// Identifiers of the dialog's controls; the buttons' ids are also the
// controller's command ids.
namespace ctl {
constexpr int ok = 1;
constexpr int close = 2;
constexpr int progress = 1011;
constexpr int generate_geosphere = 1039;
constexpr int generate_shapes = 1040;
constexpr int step_size = 1045;
constexpr int subdivisions = 1046;
constexpr int subdivisions_label = 1047;
constexpr int status_line = 1048;
constexpr int step_size_label = 1049;
constexpr int load_lightcurve = 1050;
constexpr int path = 1051;
constexpr int lambda = 1052;
constexpr int beta = 1053;
constexpr int period = 1054;
constexpr int phi0 = 1055;
constexpr int epoch = 1056;
constexpr int lambda_label = 1057;
constexpr int beta_label = 1058;
constexpr int phi0_label = 1059;
constexpr int period_label = 1060;
constexpr int epoch_label = 1061;
constexpr int threads = 1062;
constexpr int threads_label = 1063;
constexpr int cancel = 1064;
// Beyond the original window: the joint fit's blocks and the fit mode.
constexpr int blocks = 1065;
constexpr int blocks_label = 1066;
constexpr int fit = 1067;
constexpr int fit_label = 1068;
}  // namespace ctl
