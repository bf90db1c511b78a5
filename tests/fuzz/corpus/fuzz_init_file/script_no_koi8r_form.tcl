puts {ok 中}
