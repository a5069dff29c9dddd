"""Write tiny random-weight models for tests and benchmarks, offline.

    python scripts/make_tiny_models.py OUT_DIR

writes
    OUT_DIR/grounding-dino-random/      a transformers Grounding DINO (save_pretrained layout)
                                        with a tokenizer vocabulary of a few words
    OUT_DIR/sam2.1_hiera_t.yaml         the segmenter package's smallest config, as a file
    OUT_DIR/sam2.1_hiera_t_random.pt    a checkpoint of that config with random weights

Nothing is downloaded. The detector is small in every dimension and sees
images at most 96 pixels wide; the segmenter keeps its configuration (its
image predictor expects the configured 1024-pixel input), only its weights
are random. The weights are seeded, so the same versions of torch,
transformers and sam2 write the same models.
"""

import argparse
import os
import shutil

VOCABULARY = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]", "pig", ".", "person"]
SAM2_CONFIG = "configs/sam2.1/sam2.1_hiera_t.yaml"


def tiny_grounding_dino(vocab_dir, num_queries=12, seed=0):
    """(processor, model) of a tiny random Grounding DINO; the vocabulary file goes into `vocab_dir`."""
    import torch
    import transformers
    from transformers import (BertConfig, BertTokenizer, GroundingDinoConfig, GroundingDinoForObjectDetection,
                              GroundingDinoProcessor, SwinConfig)

    image_processor_class = getattr(transformers, "GroundingDinoImageProcessorPil", None)
    if image_processor_class is None:
        image_processor_class = transformers.GroundingDinoImageProcessor
    os.makedirs(vocab_dir, exist_ok=True)
    vocab = os.path.join(vocab_dir, "vocab.txt")
    with open(vocab, "w") as f:
        f.write("\n".join(VOCABULARY) + "\n")
    processor = GroundingDinoProcessor(
        image_processor=image_processor_class(size={"shortest_edge": 64, "longest_edge": 96}),
        tokenizer=BertTokenizer(vocab))
    config = GroundingDinoConfig(
        backbone_config=SwinConfig(embed_dim=8, depths=[1, 1, 1, 1], num_heads=[1, 1, 1, 1], window_size=2,
                                   image_size=64, out_features=["stage2", "stage3", "stage4"]),
        text_config=BertConfig(vocab_size=len(VOCABULARY), hidden_size=16, num_hidden_layers=1,
                               num_attention_heads=2, intermediate_size=16, max_position_embeddings=32),
        d_model=32, encoder_layers=1, decoder_layers=2, encoder_ffn_dim=16, decoder_ffn_dim=16,
        encoder_attention_heads=2, decoder_attention_heads=2, num_queries=num_queries,
        num_feature_levels=3, encoder_n_points=1, decoder_n_points=1, max_text_len=16,
        use_timm_backbone=False, use_pretrained_backbone=False)
    torch.manual_seed(seed)
    return processor, GroundingDinoForObjectDetection(config).eval()


def write_grounding_dino(folder, num_queries=12, seed=0):
    """A tiny random Grounding DINO saved into `folder` as save_pretrained writes it."""
    processor, model = tiny_grounding_dino(folder, num_queries=num_queries, seed=seed)
    processor.save_pretrained(folder)
    model.save_pretrained(folder)
    return folder


def write_sam2_checkpoint(path, config=SAM2_CONFIG, seed=0):
    """A checkpoint with random weights for the sam2 package's `config`."""
    import torch
    from sam2.build_sam import build_sam2

    torch.manual_seed(seed)
    model = build_sam2(config, None, device="cpu")
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    torch.save({"model": model.state_dict()}, path)
    return path


def write_sam2_config(path, config=SAM2_CONFIG):
    """The sam2 package's `config` copied to a file of its own."""
    import sam2

    shutil.copyfile(os.path.join(os.path.dirname(sam2.__file__), config), path)
    return path


def make_tiny_models(out_dir, num_queries=12):
    """Write all three into `out_dir` (kept when already there); returns their paths by name."""
    paths = {"gdino": os.path.join(out_dir, "grounding-dino-random"),
             "sam2_config": os.path.join(out_dir, "sam2.1_hiera_t.yaml"),
             "sam2_checkpoint": os.path.join(out_dir, "sam2.1_hiera_t_random.pt")}
    os.makedirs(out_dir, exist_ok=True)
    if not os.path.isfile(os.path.join(paths["gdino"], "config.json")):
        write_grounding_dino(paths["gdino"], num_queries=num_queries)
    if not os.path.isfile(paths["sam2_config"]):
        write_sam2_config(paths["sam2_config"])
    if not os.path.isfile(paths["sam2_checkpoint"]):
        write_sam2_checkpoint(paths["sam2_checkpoint"])
    return paths


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out_dir")
    parser.add_argument("--queries", type=int, default=12, help="detector queries (boxes per image)")
    args = parser.parse_args(argv)
    for name, path in make_tiny_models(args.out_dir, args.queries).items():
        print(f"{name}: {path}")


if __name__ == "__main__":
    main()
