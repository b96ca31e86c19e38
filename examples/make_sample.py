"""Writes sample.jsonl beside this script: 3,000 rows of made-up customer records with
nulls, integers, floats and text. The output is the same on every run (fixed seed), so the
committed file can be regenerated and compared.

    python examples/make_sample.py
"""

import json
import random
from pathlib import Path

ROWS = 3000
CITIES = ["Lisbon", "Porto", "Oslo", "Bergen", "Lima", "Cusco", "Quito", "Hanoi", "Perth",
          "Nairobi", "Mombasa", "Tartu", "Riga", "Zürich", "Kraków", "São Paulo"]
PLANS = ["free", "basic", "pro", "team"]
FIRST = ["Ana", "Ben", "Chen", "Dana", "Emil", "Fatou", "Goran", "Hana", "Ivo", "Jun",
         "Kai", "Lea", "Mia", "Nils", "Olu", "Priya", "Rui", "Sara", "Tomas", "Yuki"]


def row(rng, i):
    record = {
        "id": 100000 + i,
        "name": f"{rng.choice(FIRST)} {chr(65 + rng.randrange(26))}.",
        "city": rng.choice(CITIES),
        "age": rng.randint(18, 90) if rng.random() > 0.08 else None,
        "plan": rng.choice(PLANS),
        "monthly_spend": round(rng.lognormvariate(3, 1), 2) if rng.random() > 0.15 else None,
        "rating": rng.choice([1, 2, 3, 4, 5, 4.5, 3.5, None]),
        "active": rng.random() > 0.3,
    }
    if rng.random() < 0.25:  # some rows carry an extra column
        record["referrer"] = rng.choice(["ad", "friend", "search", None])
    return record


def main():
    rng = random.Random(20241210)
    path = Path(__file__).with_name("sample.jsonl")
    with path.open("w", encoding="utf-8") as out:
        for i in range(ROWS):
            out.write(json.dumps(row(rng, i), ensure_ascii=False) + "\n")
    print(f"wrote {ROWS} rows to {path}")


if __name__ == "__main__":
    main()
